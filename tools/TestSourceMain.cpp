// quorvane-testsrc: publishes one NDI test source. See --help.
#include "tools/TestSignal.h"
#include "tools/TestSource.h"

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

[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "quorvane-testsrc: %s\n", qPrintable(message));
    std::exit(2);
}

int intOption(const QCommandLineParser& parser, const QString& name, int low, int high) {
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < low || value > high)
        fail(QStringLiteral("--%1 must be a whole number from %2 to %3").arg(name).arg(low).arg(high));
    return value;
}

// "A/B" or "AxB" into two positive numbers.
std::pair<int, int> pairOption(const QCommandLineParser& parser, const QString& name, const QString& separator,
                               int high) {
    const QStringList parts = parser.value(name).split(separator);
    bool okA = false, okB = false;
    const int a = parts.size() == 2 ? parts[0].toInt(&okA) : 0;
    const int b = parts.size() == 2 ? parts[1].toInt(&okB) : 0;
    if (!okA || !okB || a < 1 || b < 1 || a > high || b > high)
        fail(QStringLiteral("--%1 must look like A%2B with whole numbers from 1 to %3").arg(name, separator).arg(high));
    return {a, b};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-testsrc"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Publishes one NDI source with a counter test signal (or tones) and, if asked, test pictures."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("name"), QStringLiteral("Stream name (default Quorvane Test)."), QStringLiteral("name"),
         QStringLiteral("Quorvane Test")},
        {QStringLiteral("host"), QStringLiteral("Publish under this host name instead of the machine's."),
         QStringLiteral("host")},
        {QStringLiteral("channels"), QStringLiteral("Audio channels, 1 to 256 (default 2)."), QStringLiteral("n"),
         QStringLiteral("2")},
        {QStringLiteral("id"), QStringLiteral("Source id carried by the counter signal, 0 to 4095 (default 0)."),
         QStringLiteral("k"), QStringLiteral("0")},
        {QStringLiteral("rate"), QStringLiteral("Sample rate (default 48000)."), QStringLiteral("hz"),
         QStringLiteral("48000")},
        {QStringLiteral("block"), QStringLiteral("Samples per audio block (default 512)."), QStringLiteral("n"),
         QStringLiteral("512")},
        {QStringLiteral("signal"), QStringLiteral("counter (for the probe, default) or tone (for people)."),
         QStringLiteral("kind"), QStringLiteral("counter")},
        {QStringLiteral("video"), QStringLiteral("Send test pictures as well.")},
        {QStringLiteral("video-only"), QStringLiteral("Send test pictures and no audio.")},
        {QStringLiteral("fps"), QStringLiteral("Picture rate (default 30000/1001)."), QStringLiteral("N/D"),
         QStringLiteral("30000/1001")},
        {QStringLiteral("size"), QStringLiteral("Picture size (default 320x180)."), QStringLiteral("WxH"),
         QStringLiteral("320x180")},
        {QStringLiteral("fourcc"),
         QStringLiteral("UYVY (default), or H264 for compressed-format pictures of test bytes (not decodable)."),
         QStringLiteral("code"), QStringLiteral("UYVY")},
        {QStringLiteral("seconds"), QStringLiteral("Run time; without it, runs until SIGINT or SIGTERM."),
         QStringLiteral("s")},
    });
    parser.process(app);

    TestSource::Options options;
    options.name = parser.value(QStringLiteral("name")).toStdString();
    if (options.name.empty())
        fail(QStringLiteral("--name must not be empty"));
    options.host = parser.value(QStringLiteral("host")).toStdString();
    options.channels = intOption(parser, QStringLiteral("channels"), 1, TestSignal::kMaxChannels);
    options.sourceId = intOption(parser, QStringLiteral("id"), 0, TestSignal::kMaxSourceId);
    options.sampleRate = intOption(parser, QStringLiteral("rate"), 1, 768000);
    if (!TestSignal::tagWord({0, 0, options.sampleRate}))
        fail(QStringLiteral("--rate must be one of 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, "
                            "88200, 96000, 176400, 192000"));
    options.blockSize = intOption(parser, QStringLiteral("block"), 1, 65536);
    const QString signal = parser.value(QStringLiteral("signal"));
    if (signal != QLatin1String("counter") && signal != QLatin1String("tone"))
        fail(QStringLiteral("--signal must be counter or tone"));
    options.signal = signal == QLatin1String("tone") ? TestSource::Signal::Tone : TestSource::Signal::Counter;
    options.video = parser.isSet(QStringLiteral("video")) || parser.isSet(QStringLiteral("video-only"));
    options.audio = !parser.isSet(QStringLiteral("video-only"));
    std::tie(options.frameRateN, options.frameRateD) =
        pairOption(parser, QStringLiteral("fps"), QStringLiteral("/"), 1000000);
    std::tie(options.width, options.height) = pairOption(parser, QStringLiteral("size"), QStringLiteral("x"), 8192);
    const QString fourcc = parser.value(QStringLiteral("fourcc"));
    if (fourcc != QLatin1String("UYVY") && fourcc != QLatin1String("H264"))
        fail(QStringLiteral("--fourcc must be UYVY or H264"));
    options.pictureFormat =
        fourcc == QLatin1String("H264") ? TestSource::PictureFormat::H264 : TestSource::PictureFormat::UYVY;
    if (options.pictureFormat == TestSource::PictureFormat::UYVY && options.width % 2 != 0)
        fail(QStringLiteral("UYVY pictures need an even width"));
    if (parser.isSet(QStringLiteral("seconds"))) {
        bool ok = false;
        options.seconds = parser.value(QStringLiteral("seconds")).toDouble(&ok);
        if (!ok || !(options.seconds > 0))
            fail(QStringLiteral("--seconds must be a positive number"));
    }

    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!NDIlib_initialize()) {
        qCritical("quorvane-testsrc: the NDI runtime did not start");
        return 1;
    }
    int status = 0;
    {
        TestSource source(options);
        if (source.open()) {
            qInfo("quorvane-testsrc: publishing \"%s\"", options.name.c_str());
            source.run(stopRequested);
        } else {
            qCritical("quorvane-testsrc: the NDI runtime gave no sender for \"%s\"", options.name.c_str());
            status = 1;
        }
    }
    NDIlib_destroy();
    return status;
}
