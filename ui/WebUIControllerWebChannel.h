#pragma once

#include <QQmlWebChannel>

// The web channel that publishes the bridge to the routing page. It adds
// nothing to its base: QML sees it as a QQmlWebChannel.
class WebUIControllerWebChannel : public QQmlWebChannel {
public:
    using QQmlWebChannel::QQmlWebChannel;
};
