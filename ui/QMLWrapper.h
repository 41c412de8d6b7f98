#pragma once

#include "audio/AudioController.h"
#include "ui/WebUIControllerWebChannel.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The one object through which the routing page and the engine talk. The page
// sees it on the web channel as "qmlWrapper": it reads the properties, listens
// to the signals and calls the slots (GUI thread). The engine reports to it as
// its AudioController::Listener (engine threads); each report becomes a JSON
// text signal that Qt queues to the GUI thread.
//
// It keeps its own copies of the sources, senders and connections it last
// reported (the stores), so that a page that announces itself with uiReady gets
// the whole state. Every read and write of the stores holds `storeMutex`. The
// engine is never called while it is held: the engine reports while holding its
// own locks, so the other order could deadlock.
class QMLWrapper : public QObject, public AudioController::Listener {
    Q_OBJECT
    Q_PROPERTY(
        WebUIControllerWebChannel* webUIControllerWebChannel READ channel NOTIFY webUIControllerWebChannelChanged)
    Q_PROPERTY(QString productVersion READ version NOTIFY productVersionChanged)
    Q_PROPERTY(QString ndiLibVersion READ ndiVersion NOTIFY ndiLibVersionChanged)
    // The NDI runtime in use: version text, library path or "built-in", and
    // "advanced" or "standard".
    Q_PROPERTY(QString ndiRuntime READ runtimeDescription NOTIFY ndiRuntimeChanged)
    Q_PROPERTY(QString getTitle READ title NOTIFY getTitleChanged)

public:
    // Creates the engine, which opens the audio device and sets up the routing.
    QMLWrapper();
    // Same, with the engine clocked by `clock` instead of a sound device.
    explicit QMLWrapper(std::unique_ptr<VirtualAudioDevice> clock);
    // Stops the engine (it writes the routing to the default file) before the
    // stores go.
    ~QMLWrapper() override;

    QMLWrapper(const QMLWrapper&) = delete;
    QMLWrapper& operator=(const QMLWrapper&) = delete;

    WebUIControllerWebChannel* channel() { return &webUIControllerWebChannel; }
    QString version() const { return productVersion; }
    QString ndiVersion() const { return ndiLibVersion; }
    QString runtimeDescription() const { return ndiRuntime; }
    QString title() const { return QStringLiteral("Quorvane"); }

    // The engine, for inspection (its routingSnapshot).
    const AudioController& audioEngine() const { return *audioController; }

    // The last word of an NDI runtime version text (empty for an absent text).
    static QString versionNumber(const char* runtimeVersion);

signals:
    void webUIControllerWebChannelChanged();
    void productVersionChanged();
    void ndiLibVersionChanged();
    void ndiRuntimeChanged();
    void getTitleChanged();
    void sourcesUpdated(QString sourcesJson);
    void sendersUpdated(QString sendersJson);
    void connectionsUpdated(QString connectionsJson);
    void setAVDelaySignal(QString senderDelay);
    // A save could not write its file; the text names the file and the reason.
    void saveFailed(QString message);

public slots:
    void connectionAdded(QString sourceName, int sourceChannel, QString senderName, int senderChannel);
    void connectionRemoved(QString sourceName, int sourceChannel, QString senderName, int senderChannel);
    void videoConnectionAdded(QString sourceName, QString senderName);
    void videoConnectionRemoved(QString sourceName, QString senderName);
    void setAVDelay(QString senderName, int delay);
    void console(QString msg);
    // Replays sources, senders and connections, then lets the engine start
    // receiving and sending two seconds later.
    void uiReady();
    void senderAdded(QString senderName, int numChannels);
    void senderRemoved(QString senderName);
    void loadFileButtonPressed();
    void saveFileButtonPressed();
    void saveAsFileButtonPressed();

public:
    // AudioController::Listener; each runs on the reporting engine thread.
    void sendersChanged(const SenderChannelMappings& senderChannelMappings,
                        SenderVideoSources& senderVideoSources) override;           // audio thread
    void sourceAdded(const std::string& name, int channelCount) override;           // discovery task
    void sourceRemoved(const std::string& name) override;                           // discovery task
    void sourceChannelsChanged(const std::string& name, int channelCount) override; // audio or discovery
    void senderDelayChanged(const std::string& senderName, int delayMs) override;   // delay task

private:
    // Publishes this object on the channel, reads the versions, creates the empty stores.
    void publishWithEmptyStores();
    // Sets a source's count, or removes it when `channelCount` is empty, and
    // sends the sources message.
    void updateSource(const std::string& name, std::optional<int> channelCount);
    void reportSaveFailure(const std::string& path, const std::string& reason);

    WebUIControllerWebChannel webUIControllerWebChannel;
    QString productVersion;
    QString ndiLibVersion;
    QString ndiRuntime;
    std::unique_ptr<AudioController> audioController;
    std::unique_ptr<QJsonObject> sourcesObject;
    std::unique_ptr<QJsonObject> sendersObject;
    std::unique_ptr<QJsonArray> connectionsArray;
    std::mutex storeMutex;
};
