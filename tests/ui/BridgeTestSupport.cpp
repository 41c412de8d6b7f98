#include "BridgeTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QStandardPaths>

namespace bridgetest {

PrivateEnvironment::PrivateEnvironment() {
    for (const char* sub : {"home", "data", "config", "cache", "runtime", "ndi"})
        QDir(dir.path()).mkpath(QString::fromLatin1(sub));
    qputenv("HOME", QFile::encodeName(path("home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(path("data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path("config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path("cache")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path("runtime")));
    qputenv("QUORVANE_NDI_DIR", QFile::encodeName(path("ndi")));
    QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString PrivateEnvironment::defaultMappingFile() const {
    return QString::fromStdString(AudioController::defaultChannelMappingsPath());
}

void ManualClock::start(juce::AudioIODeviceCallback* deviceCallback) {
    callback = deviceCallback;
    callback->audioDeviceAboutToStart(this);
}

void ManualClock::tick() {
    callback->audioDeviceIOCallbackWithContext(nullptr, 0, nullptr, 0, bufferSize, {});
}

MessageLog::MessageLog(QMLWrapper& bridge) {
    const auto record = [this](const char* name) {
        return [this, name](const QString& text) {
            messages.emplace_back(QString::fromLatin1(name), text);
        };
    };
    connect(&bridge, &QMLWrapper::sourcesUpdated, this, record("sourcesUpdated"));
    connect(&bridge, &QMLWrapper::sendersUpdated, this, record("sendersUpdated"));
    connect(&bridge, &QMLWrapper::connectionsUpdated, this, record("connectionsUpdated"));
    connect(&bridge, &QMLWrapper::setAVDelaySignal, this, record("setAVDelaySignal"));
    connect(&bridge, &QMLWrapper::saveFailed, this, record("saveFailed"));
}

std::vector<std::pair<QString, QString>> MessageLog::take() {
    QCoreApplication::processEvents();
    return std::exchange(messages, {});
}

bool MessageLog::waitFor(std::size_t count) {
    const QDeadlineTimer deadline(5000);
    while (messages.size() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return messages.size() >= count;
}

LogCapture* LogCapture::active = nullptr;

LogCapture::LogCapture() : previous(qInstallMessageHandler(&LogCapture::handler)) {
    active = this;
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (LogCapture* capture = active) {
        std::lock_guard lock(capture->mutex);
        capture->captured.push_back(message);
    }
}

bool LogCapture::contains(const QString& text) const {
    std::lock_guard lock(mutex);
    for (const QString& line : captured) {
        if (line.contains(text))
            return true;
    }
    return false;
}

std::vector<QString> LogCapture::lines() const {
    std::lock_guard lock(mutex);
    return captured;
}

ManualBridge::ManualBridge() {
    auto manual = std::make_unique<ManualClock>();
    clock = manual.get();
    bridge = std::make_unique<QMLWrapper>(std::move(manual));
}

} // namespace bridgetest
