#include "common/settings.h"
#include "tools/twainlistener/twainlistener.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

int fail(const QString& message, int code)
{
    std::fputs(qPrintable(QStringLiteral("ostra-twain-listener: ") + message + QLatin1Char('\n')),
               stderr);
    return code;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ostra-twain-listener"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Listens on 127.0.0.1 as the TWAIN data source does and prints every notification "
        "the acquisition program sends; on \"1001\" it reads the picture file named by "
        "\"IMAHE/ImageScanPth\"."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Port to listen on (0: any free one). Default: \"UDP/Port\"."),
        QStringLiteral("N"));
    const QCommandLineOption configOption(
        QStringLiteral("config"),
        QStringLiteral("INI file to read instead of the shared configuration file."),
        QStringLiteral("FILE"));
    const QCommandLineOption countOption(
        QStringLiteral("count"),
        QStringLiteral("Exit after N datagrams (default: run until stopped)."),
        QStringLiteral("N"));
    parser.addOptions({portOption, configOption, countOption});
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText(), 2);
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        say(parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()),
            2);

    if (parser.isSet(configOption))
        overrideConfigFilePath(parser.value(configOption));

    bool ok = true;
    const QString portText = parser.isSet(portOption) ? parser.value(portOption)
                                                      : readSetting(QStringLiteral("UDP/Port"));
    const int port = portText.toInt(&ok, 10);
    if (portText.isEmpty())
        return fail(
            QStringLiteral("no port: give --port or set \"UDP/Port\" in %1").arg(configFilePath()),
            2);
    if (!ok || port < 0 || port > 65535 || (port == 0 && !parser.isSet(portOption)))
        return fail(QStringLiteral("\"%1\" is not a port").arg(portText), 2);

    int count = 0;
    if (parser.isSet(countOption)) {
        count = parser.value(countOption).toInt(&ok, 10);
        if (!ok || count < 1)
            return fail(QStringLiteral("--count wants a positive number"), 2);
    }

    TwainListener listener;
    if (!listener.listen(quint16(port)))
        return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                        .arg(port)
                        .arg(listener.errorString()),
                    1);
    QObject::connect(&listener, &TwainListener::report, &say);
    int seen = 0;
    QObject::connect(&listener, &TwainListener::datagram, [&] {
        if (count > 0 && ++seen >= count)
            QCoreApplication::quit();
    });
    say(QStringLiteral("listening on 127.0.0.1:%1").arg(listener.port()));
    return app.exec();
}
