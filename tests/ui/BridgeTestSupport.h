// Shared pieces of the bridge tests: a private environment, a clock the test
// ticks itself, and a record of the messages the bridge sends to the page.
#pragma once

#include "audio/VirtualAudioDevice.h"
#include "ui/QMLWrapper.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bridgetest {

// Gives the test its own HOME, XDG folders and NDI discovery directory, so the
// default channel-mapping file is never the user's. Create it before the bridge.
class PrivateEnvironment {
public:
    PrivateEnvironment();
    QString path(const QString& name) const { return dir.filePath(name); }
    // The default channel-mapping file under this environment.
    QString defaultMappingFile() const;

private:
    QTemporaryDir dir;
};

// A software clock that never ticks by itself: tick() runs one block on the
// caller's thread, which then plays the audio thread.
class ManualClock : public VirtualAudioDevice {
public:
    void start(juce::AudioIODeviceCallback* callback) override;
    void stop() override {}
    void tick();

private:
    juce::AudioIODeviceCallback* callback = nullptr;
};

// The bridge's page-bound messages in arrival order, as {signal name, text}.
// Reports from other threads arrive once the event loop has run.
class MessageLog : public QObject {
public:
    explicit MessageLog(QMLWrapper& bridge);
    std::vector<std::pair<QString, QString>> take();
    // Runs the event loop until `count` messages are waiting (at most 5 s).
    bool waitFor(std::size_t count);

private:
    std::vector<std::pair<QString, QString>> messages;
};

// Log lines written through Qt's message handler while it exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    bool contains(const QString& text) const;
    std::vector<QString> lines() const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    static LogCapture* active;
    QtMessageHandler previous;
    mutable std::mutex mutex;
    std::vector<QString> captured;
};

// A bridge whose engine runs on a ManualClock; `clock` stays valid while it lives.
struct ManualBridge {
    ManualBridge();
    ManualClock* clock;
    std::unique_ptr<QMLWrapper> bridge;
};

} // namespace bridgetest
