// The scanner simulator as a program: serves the Ostra protocol on an address and port
// until interrupted, printing one line per request.

#include "link/devicerequest.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int)
{
    interrupted = true;
}

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

struct Options
{
    QList<QByteArray> pictures;
    float extra = 0.25f;
};

// One token of --sequence becomes one reply; image tokens take the next picture.
bool replyForToken(const QString& token, const Options& options, int& nextPicture,
                   ScannerReply& reply)
{
    const QByteArray& picture = options.pictures.at(nextPicture % options.pictures.size());
    bool isNumber = false;
    const int code = token.toInt(&isNumber);
    if (isNumber && code == REPLY_IMAGE) {
        reply = ScannerReply::image(picture);
        ++nextPicture;
    } else if (isNumber && code == REPLY_IMAGE_EXT) {
        reply = ScannerReply::imageExt(picture, options.extra);
        ++nextPicture;
    } else if (isNumber) {
        reply = ScannerReply::status(code);
    } else if (token == QLatin1String("close")) {
        reply = ScannerReply::closeAtOnce();
    } else if (token == QLatin1String("silent")) {
        reply = ScannerReply::neverAnswer();
    } else if (token == QLatin1String("stall")) {
        reply = ScannerReply::stallMidPayload(picture);
    } else if (token == QLatin1String("tiny")) {
        reply = ScannerReply::image(picture).inSegments(7);
        ++nextPicture;
    } else if (token == QLatin1String("overrun")) {
        reply = ScannerReply::overrun(picture, 64);
    } else if (token == QLatin1String("short")) {
        reply = ScannerReply::shortHeader(REPLY_IMAGE, 6);
    } else if (token == QLatin1String("negative")) {
        reply = ScannerReply::imageAnnouncing(-5);
    } else if (token == QLatin1String("huge")) {
        reply = ScannerReply::imageAnnouncing(0x7fffffff, picture);
    } else if (token == QLatin1String("garbage")) {
        reply = ScannerReply::notAPicture(4096, quint32(nextPicture + 1));
    } else {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ostra-scanner-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Ostra scanner. Sequence tokens, used in turn for poll replies and cycled: "
        "a status code (16, 17, 18, ...), 19 or 20 (a picture), close, silent, stall, tiny, "
        "overrun, short, negative, huge, garbage."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("address"), QStringLiteral("Address to listen on."), QStringLiteral("ip"),
         QStringLiteral("0.0.0.0")},
        {QStringLiteral("port"), QStringLiteral("TCP port."), QStringLiteral("port"),
         QString::number(kScannerPort)},
        {QStringLiteral("picture"), QStringLiteral("Picture file to serve (repeatable)."),
         QStringLiteral("file")},
        {QStringLiteral("size"), QStringLiteral("Synthetic picture size."), QStringLiteral("WxH"),
         QStringLiteral("640x480")},
        {QStringLiteral("depth"), QStringLiteral("Synthetic bits per channel, 8 or 16."),
         QStringLiteral("bits"), QStringLiteral("8")},
        {QStringLiteral("format"), QStringLiteral("Synthetic format: png, jpg or bmp."),
         QStringLiteral("ext"), QStringLiteral("png")},
        {QStringLiteral("sequence"), QStringLiteral("Comma-separated poll replies."),
         QStringLiteral("tokens"), QStringLiteral("19")},
        {QStringLiteral("command-reply"), QStringLiteral("Reply code to the command request."),
         QStringLiteral("code"), QString::number(REPLY_STATE_LIT)},
        {QStringLiteral("extra"), QStringLiteral("Float carried by code-20 replies."),
         QStringLiteral("value"), QStringLiteral("0.25")},
        {QStringLiteral("duration"), QStringLiteral("Stop after this many seconds (0: never)."),
         QStringLiteral("seconds"), QStringLiteral("0")},
    });
    parser.process(app);

    Options options;
    options.extra = parser.value(QStringLiteral("extra")).toFloat();
    for (const QString& path : parser.values(QStringLiteral("picture"))) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            qCritical("cannot read picture %s: %s", qPrintable(path),
                      qPrintable(file.errorString()));
            return 2;
        }
        options.pictures.append(file.readAll());
    }
    if (options.pictures.isEmpty()) {
        const QStringList size = parser.value(QStringLiteral("size")).split(QLatin1Char('x'));
        const int width = size.value(0).toInt();
        const int height = size.value(1).toInt();
        const int depth = parser.value(QStringLiteral("depth")).toInt();
        const QString format = QLatin1Char('.') + parser.value(QStringLiteral("format"));
        for (int seed = 0; seed < 8; ++seed) {
            const QByteArray picture = syntheticPicture(width, height, depth, format, seed);
            if (picture.isEmpty()) {
                qCritical("cannot make a %dx%d %d-bit %s picture", width, height, depth,
                          qPrintable(format));
                return 2;
            }
            options.pictures.append(picture);
        }
    }

    QList<ScannerReply> script;
    int nextPicture = 0;
    for (const QString& token :
         parser.value(QStringLiteral("sequence")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        ScannerReply reply;
        if (!replyForToken(token.trimmed(), options, nextPicture, reply)) {
            qCritical("unknown sequence token '%s'", qPrintable(token));
            return 2;
        }
        script.append(reply);
    }

    ScannerSimulator simulator;
    simulator.setScript(script, true);
    simulator.setCommandReply(
        ScannerReply::status(parser.value(QStringLiteral("command-reply")).toInt()));
    const QHostAddress address(parser.value(QStringLiteral("address")));
    if (!simulator.start(address, quint16(parser.value(QStringLiteral("port")).toUInt())))
        return 1;
    out() << "listening on " << address.toString() << ':' << simulator.port() << Qt::endl;

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const int duration = parser.value(QStringLiteral("duration")).toInt();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(duration);
    int printed = 0;
    // Each request once its reply has gone out, in order; at the end the rest as they stand.
    const auto print = [&](bool all) {
        const QVector<ScannerSimulator::Request> requests = simulator.requests();
        for (; printed < requests.size() && (all || requests.at(printed).sentAt); ++printed) {
            const ScannerSimulator::Request& r = requests.at(printed);
            out() << "request " << printed + 1 << " code " << r.code << " at " << r.atMs
                  << " ms -> " << r.reply << ", sent at " << r.sentAt << Qt::endl;
        }
    };
    while (!interrupted && (duration <= 0 || std::chrono::steady_clock::now() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        print(false);
    }
    simulator.stop();
    print(true);
    out() << "served " << printed << " requests" << Qt::endl;
    out() << "delivered " << simulator.deliveredPictures() << " pictures" << Qt::endl;
    return 0;
}
