// quorvane-probe: receives one NDI source and prints one JSON object about
// its test signals on standard output. See --help.
#include "tools/Probe.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested.store(true);
}

double secondsOption(const QCommandLineParser& parser, const QString& name, double low) {
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || !(value >= low) || value > 86400.0 * 365) {
        std::fprintf(stderr, "quorvane-probe: --%s must be a number of seconds from %g on\n", qPrintable(name), low);
        std::exit(2);
    }
    return value;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-probe"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Receives one NDI source and prints one JSON object about its test signals: per channel the source id and "
        "channel it carries, whether it arrived bit-exact, dropouts and latency; for pictures whether they arrived "
        "intact and their offset against the audio."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("source"), QStringLiteral("Full NDI name of the source: \"HOST (stream)\"."),
         QStringLiteral("name")},
        {QStringLiteral("seconds"), QStringLiteral("How long to analyse (default 3)."), QStringLiteral("s"),
         QStringLiteral("3")},
        {QStringLiteral("skip-seconds"), QStringLiteral("Receive this long first without analysing (default 0)."),
         QStringLiteral("s"), QStringLiteral("0")},
        {QStringLiteral("timeout"), QStringLiteral("How long to look for the source (default 5)."), QStringLiteral("s"),
         QStringLiteral("5")},
        {QStringLiteral("wav"), QStringLiteral("Also record the analysed audio into this WAV file."),
         QStringLiteral("file")},
    });
    parser.process(app);

    Probe::Options options;
    options.source = parser.value(QStringLiteral("source")).toStdString();
    if (options.source.empty()) {
        std::fprintf(stderr, "quorvane-probe: --source is required\n");
        return 2;
    }
    options.seconds = secondsOption(parser, QStringLiteral("seconds"), 0);
    options.skipSeconds = secondsOption(parser, QStringLiteral("skip-seconds"), 0);
    options.timeoutSeconds = secondsOption(parser, QStringLiteral("timeout"), 0);
    options.wavPath = parser.value(QStringLiteral("wav")).toStdString();

    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!NDIlib_initialize()) {
        qCritical("quorvane-probe: the NDI runtime did not start");
        return 1;
    }
    Probe probe(options);
    const nlohmann::ordered_json report = probe.run(stopRequested);
    NDIlib_destroy();
    std::printf("%s\n", report.dump(2).c_str());
    return probe.succeeded() ? 0 : 1;
}
