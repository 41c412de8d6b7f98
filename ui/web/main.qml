import QtQuick
import QtWebEngine

Window {
    width: 1200
    height: 680
    visible: true
    title: qsTr(TITLE)

    WebEngineView {
        id: webView
        anchors.fill: parent
        url: "qrc:/routing-web-ui.html"
        Component.onCompleted: webView.webChannel = qmlWrapper.webUIControllerWebChannel
    }
}
