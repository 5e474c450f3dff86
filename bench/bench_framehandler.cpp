// From a received record to the shown picture, per enhancement mode, against a bare
// decode of the same bytes: a 1500 x 2000 16-bit PNG, a 1500 x 2000 8-bit PNG and a
// 1920 x 1080 JPEG. Prints medians and ratios.

#include "acquisition/widget.h"
#include "bench/timing.h"
#include "common/settings.h"
#include "discovery/tcpclient.h"
#include "tests/mock/fakeadaptertable.h"
#include "tests/mock/fakerunner.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QTemporaryDir dir;
    overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
    // Discovery's Windows facilities are not what is measured here.
    FakeAdapterTable adapters;
    FakeRunner runner;
    Widget window(new TCPClient(adapters, runner), nullptr);
    window.show();
    app.processEvents();

    struct Picture
    {
        const char* name;
        QByteArray bytes;
    };
    const Picture pictures[] = {
        {"PNG 1500x2000 16-bit", syntheticPicture(1500, 2000, 16, QStringLiteral(".png"), 1)},
        {"PNG 1500x2000 8-bit", syntheticPicture(1500, 2000, 8, QStringLiteral(".png"), 1)},
        {"JPEG 1920x1080", syntheticPicture(1920, 1080, 8, QStringLiteral(".jpg"), 1)},
    };
    const char* modes[] = {"plain", "HD", "Ultra HD"};
    const char* buttons[] = {nullptr, "radioButton_hd", "radioButton_ultraHD"};

    std::printf("record to shown picture against bare imdecode, %d runs each, median\n", runs);
    std::printf("%-22s %-9s %12s %12s %8s\n", "picture", "mode", "shown", "imdecode", "ratio");
    for (const Picture& picture : pictures) {
        const std::vector<uchar> bytes(picture.bytes.begin(), picture.bytes.end());
        OstraInfo record;
        record.ip = QStringLiteral("192.168.137.45");
        record.status = REPLY_IMAGE;
        record.data = bytes;
        const double decode = medianMs(runs, [&] { cv::imdecode(bytes, cv::IMREAD_ANYDEPTH); });
        for (int mode = 0; mode < 3; ++mode) {
            if (buttons[mode])
                window.findChild<QRadioButton*>(QLatin1String(buttons[mode]))->click();
            const double shown = medianMs(runs, [&] {
                QMetaObject::invokeMethod(&window, "reveiveClientCom", Qt::DirectConnection,
                                          Q_ARG(OstraInfo, record));
            });
            std::printf("%-22s %-9s %9.2f ms %9.2f ms %8.2f\n", picture.name, modes[mode], shown,
                        decode, shown / decode);
        }
        window.findChild<QRadioButton*>(QStringLiteral("radioButton_hd"))->setAutoExclusive(false);
    }
    return 0;
}
