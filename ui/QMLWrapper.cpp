#include "ui/QMLWrapper.h"

#include "audio/EngineLimits.h"

#include "ndi/NDIRuntime.h"

#include <QDebug>
#include <QFileDialog>
#include <QJsonDocument>
#include <QMetaType>

#include <chrono>

namespace {
const QString kVideoChannel = QStringLiteral("Video");
const std::string kMonitorName = "Monitor";
// The page may start receiving and sending this long after it announced itself.
constexpr std::chrono::milliseconds kStartGateDelay{2000};

QString toQString(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString serialise(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString serialise(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QJsonObject audioConnection(const QString& senderName, qint64 senderChannel, const QString& sourceName,
                            qint64 sourceChannel) {
    return QJsonObject{{QStringLiteral("senderChannel"), senderChannel},
                       {QStringLiteral("senderName"), senderName},
                       {QStringLiteral("sourceChannel"), sourceChannel},
                       {QStringLiteral("sourceName"), sourceName}};
}

QJsonObject videoConnection(const QString& senderName, const QString& sourceName) {
    return QJsonObject{{QStringLiteral("senderChannel"), kVideoChannel},
                       {QStringLiteral("senderName"), senderName},
                       {QStringLiteral("sourceChannel"), kVideoChannel},
                       {QStringLiteral("sourceName"), sourceName}};
}

void removeFirst(QJsonArray& array, const QJsonObject& element) {
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (array.at(i) == element) {
            array.removeAt(i);
            return;
        }
    }
}

// Page channel numbers are counted from 0; a negative one is a fault of the page.
bool validChannels(const char* slot, int sourceChannel, int senderChannel) {
    if (sourceChannel >= 0 && senderChannel >= 0)
        return true;
    qWarning() << slot << "ignored: negative channel" << sourceChannel << senderChannel;
    return false;
}
} // namespace

QMLWrapper::QMLWrapper() {
    publishWithEmptyStores();
    audioController = std::make_unique<AudioController>(this);
}

QMLWrapper::QMLWrapper(std::unique_ptr<VirtualAudioDevice> clock) {
    publishWithEmptyStores();
    audioController = std::make_unique<AudioController>(this, std::move(clock));
}

void QMLWrapper::publishWithEmptyStores() {
    qRegisterMetaType<WebUIControllerWebChannel*>("QQmlWebChannel*");
    webUIControllerWebChannel.registerObject(QStringLiteral("qmlWrapper"), this);
    productVersion = QStringLiteral("1.5.2");
    const NDIRuntime& runtime = NDIRuntime::active();
    ndiLibVersion = versionNumber(runtime.calls().version());
    ndiRuntime = QString::fromStdString(runtime.description());
    sendersObject = std::make_unique<QJsonObject>();
    sourcesObject = std::make_unique<QJsonObject>();
    connectionsArray = std::make_unique<QJsonArray>();
}

QMLWrapper::~QMLWrapper() {
    // The engine's threads report here until it is gone.
    audioController.reset();
    connectionsArray.reset();
    sendersObject.reset();
    sourcesObject.reset();
}

QString QMLWrapper::versionNumber(const char* runtimeVersion) {
    const QStringList words = QString::fromUtf8(runtimeVersion ? runtimeVersion : "").split(QLatin1Char(' '));
    return words.last();
}

void QMLWrapper::connectionAdded(QString sourceName, int sourceChannel, QString senderName, int senderChannel) {
    if (!validChannels("connectionAdded", sourceChannel, senderChannel))
        return;
    audioController->addConnection(sourceName.toStdString(), uint32_t(sourceChannel), senderName.toStdString(),
                                   uint32_t(senderChannel));
    std::lock_guard lock(storeMutex);
    connectionsArray->append(audioConnection(senderName, senderChannel, sourceName, sourceChannel));
}

void QMLWrapper::connectionRemoved(QString sourceName, int sourceChannel, QString senderName, int senderChannel) {
    if (!validChannels("connectionRemoved", sourceChannel, senderChannel))
        return;
    audioController->removeConnection(sourceName.toStdString(), uint32_t(sourceChannel), senderName.toStdString(),
                                      uint32_t(senderChannel));
    std::lock_guard lock(storeMutex);
    removeFirst(*connectionsArray, audioConnection(senderName, senderChannel, sourceName, sourceChannel));
}

void QMLWrapper::videoConnectionAdded(QString sourceName, QString senderName) {
    qInfo().noquote() << "conn added: " + sourceName + "<->" + senderName;
    audioController->setVideoSource(sourceName.toStdString(), senderName.toStdString());
    std::lock_guard lock(storeMutex);
    connectionsArray->append(videoConnection(senderName, sourceName));
}

void QMLWrapper::videoConnectionRemoved(QString sourceName, QString senderName) {
    qInfo().noquote() << "conn removed: " + sourceName + "<->" + senderName;
    audioController->clearVideoSource(senderName.toStdString());
    std::lock_guard lock(storeMutex);
    removeFirst(*connectionsArray, videoConnection(senderName, sourceName));
}

void QMLWrapper::setAVDelay(QString senderName, int delay) {
    audioController->setAVDelay(senderName.toStdString(), delay);
}

void QMLWrapper::console(QString msg) {
    qDebug() << msg;
}

void QMLWrapper::uiReady() {
    qDebug() << "uiReady";
    {
        std::lock_guard lock(storeMutex);
        emit sourcesUpdated(serialise(*sourcesObject));
        emit sendersUpdated(serialise(*sendersObject));
        emit connectionsUpdated(serialise(*connectionsArray));
    }
    audioController->openStartGateAfter(kStartGateDelay);
}

void QMLWrapper::senderAdded(QString senderName, int numChannels) {
    // The engine refuses these too; refused here, they stay out of the senders store.
    if (numChannels < 0 || uint32_t(numChannels) > EngineLimits::kMaxSenderChannels) {
        qWarning().nospace() << "senderAdded ignored: " << senderName << " cannot have " << numChannels
                             << " channels (0 to " << EngineLimits::kMaxSenderChannels << ")";
        return;
    }
    const std::string name = senderName.toStdString();
    if (name.empty() || name.size() > EngineLimits::kMaxNameBytes) {
        qWarning() << "senderAdded ignored: a sender name has 1 to" << EngineLimits::kMaxNameBytes << "bytes, not"
                   << name.size();
        return;
    }
    audioController->addSender(name, uint32_t(numChannels));
    std::lock_guard lock(storeMutex);
    sendersObject->insert(senderName, numChannels);
}

void QMLWrapper::senderRemoved(QString senderName) {
    qInfo() << "senderRemoved" << senderName;
    audioController->removeSender(senderName.toStdString());
    std::lock_guard lock(storeMutex);
    sendersObject->remove(senderName);
}

void QMLWrapper::loadFileButtonPressed() {
    const QString path =
        QFileDialog::getOpenFileName(nullptr, tr("Open File"), tr("/home"), tr("Config file (*.zelkac)"));
    if (path.isEmpty()) {
        qWarning("File path is empty");
        return;
    }
    audioController->loadChannelMappings(path.toStdString());
}

void QMLWrapper::saveFileButtonPressed() {
    const std::string path = audioController->currentMappingsPath();
    std::string error;
    if (!audioController->saveChannelMappings(path, &error)) {
        reportSaveFailure(path, error);
        return;
    }
    qInfo() << "Saved to" << toQString(path);
}

void QMLWrapper::saveAsFileButtonPressed() {
    const QString path =
        QFileDialog::getSaveFileName(nullptr, tr("Open File"), tr("/home"), tr("Config file (*.zelkac)"));
    if (path.isEmpty())
        return;
    const std::string chosen = path.toStdString();
    std::string error;
    if (!audioController->saveChannelMappings(chosen, &error)) {
        reportSaveFailure(chosen, error);
        return;
    }
    audioController->setCurrentMappingsPath(chosen);
}

void QMLWrapper::reportSaveFailure(const std::string& path, const std::string& reason) {
    const QString message = QStringLiteral("Cannot save \"%1\": %2").arg(toQString(path), toQString(reason));
    qWarning().noquote() << message;
    emit saveFailed(message);
}

void QMLWrapper::sendersChanged(const SenderChannelMappings& senderChannelMappings,
                                SenderVideoSources& senderVideoSources) {
    auto senders = std::make_unique<QJsonObject>();
    auto connections = std::make_unique<QJsonArray>();
    for (const auto& [name, mappings] : senderChannelMappings) {
        const QString senderName = toQString(name);
        senders->insert(senderName, qint64(mappings.size()));
        for (std::size_t channel = 0; channel < mappings.size(); ++channel) {
            const ChannelMapping& mapping = mappings[channel];
            if (mapping.sourceChannel != ChannelMapping::kUnconnected)
                connections->append(
                    audioConnection(senderName, qint64(channel), toQString(mapping.sourceName), mapping.sourceChannel));
        }
        if (name == kMonitorName)
            continue;
        const std::string& videoSource = senderVideoSources[name];
        if (!videoSource.empty())
            connections->append(videoConnection(senderName, toQString(videoSource)));
    }

    std::lock_guard lock(storeMutex);
    sendersObject = std::move(senders);
    connectionsArray = std::move(connections);
    emit sendersUpdated(serialise(*sendersObject));
    emit connectionsUpdated(serialise(*connectionsArray));
}

void QMLWrapper::sourceAdded(const std::string& name, int channelCount) {
    updateSource(name, channelCount);
}

void QMLWrapper::sourceRemoved(const std::string& name) {
    updateSource(name, std::nullopt);
}

void QMLWrapper::sourceChannelsChanged(const std::string& name, int channelCount) {
    updateSource(name, channelCount);
}

void QMLWrapper::senderDelayChanged(const std::string& senderName, int delayMs) {
    const QJsonObject message{{QStringLiteral("senderDelay"), delayMs},
                              {QStringLiteral("senderName"), toQString(senderName)}};
    emit setAVDelaySignal(serialise(message));
}

void QMLWrapper::updateSource(const std::string& name, std::optional<int> channelCount) {
    const QString sourceName = toQString(name);
    std::lock_guard lock(storeMutex);
    if (channelCount)
        sourcesObject->insert(sourceName, *channelCount);
    else
        sourcesObject->remove(sourceName);
    emit sourcesUpdated(serialise(*sourcesObject));
}
