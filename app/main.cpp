// Process entry: one instance per user, the Qt application with its web engine,
// the window that shows the routing page, and the bridge that owns the engine.

#include "app/CrashReporter.h"
#include "app/SignalHandler.h"
#include "app/SingleInstanceGuard.h"
#include "ui/QMLWrapper.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>
#include <QtWebEngineQuick/QtWebEngineQuick>

namespace {
// The program takes no options: the application object gets a fixed argument
// vector instead of the real command line.
int fixedArgc = 1;
char fixedProgramName[] = "Zelka";
char* fixedArgv[] = {fixedProgramName, nullptr};

int runApplication() {
    QtWebEngineQuick::initialize();
    QApplication app(fixedArgc, fixedArgv);
    qSetMessagePattern(
        QStringLiteral("%{time process} %{appname} [%{threadid}] [%{type}] %{message} (%{file}:%{line})"));
    SignalHandler signalHandler;

    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("TITLE"), QStringLiteral("Quorvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/assets/iconqv.ico")));

    const QUrl windowUrl(QStringLiteral("qrc:/main.qml"));
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [windowUrl](QObject* object, const QUrl& objectUrl) {
            if (!object && objectUrl == windowUrl)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);

    QMLWrapper qmlWrapper;
    engine.rootContext()->setContextProperty(QStringLiteral("qmlWrapper"), &qmlWrapper);
    engine.load(windowUrl);
    const int status = QApplication::exec();
    // The shutdown begins: a second Ctrl-C or SIGTERM while the engine stops ends the program.
    SignalHandler::restoreDefaultActions();
    return status;
}
} // namespace

int main() {
    CrashReporter::install();
    SingleInstanceGuard singleInstanceGuard;
    if (!singleInstanceGuard.tryToRun()) {
        qWarning("Another instance is running");
        return 0;
    }
    return runApplication();
}
