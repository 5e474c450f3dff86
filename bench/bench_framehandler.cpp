// From a picture handed over by the link to the picture installed on the label, per
// enhancement mode, against a bare decode plus initialisation of the same bytes: a
// 1500 x 2000 16-bit PNG, a 1500 x 2000 8-bit PNG and a 1920 x 1080 JPEG. Prints medians
// and ratios.

#include "acquisition/picturepipeline.h"
#include "acquisition/widget.h"
#include "bench/timing.h"
#include "common/settings.h"
#include "imaging/picturefile.h"
#include "quorimage/quorimage.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QApplication>
#include <QEventLoop>
#include <QRadioButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
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
    WindowFixture fixture;
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

    std::printf("picture handed over by the link to picture on the label, against bare decode "
                "and initialisation, %d runs each, median\n",
                runs);
    std::printf("%-22s %-9s %12s %14s %8s\n", "picture", "mode", "on label", "decode+init",
                "ratio");
    for (const Picture& picture : pictures) {
        // Mode 0 has no button: each picture starts with a window that read it.
        writeSetting(QStringLiteral("IMAHE/ProType"), QStringLiteral("0"));
        const std::unique_ptr<Widget> owner = fixture.make();
        Widget& window = *owner;
        window.show();
        app.processEvents();
        QEventLoop landed;
        // Connected after the window's own handler: it runs once the label has the picture.
        QObject::connect(window.pipeline(), &PicturePipeline::shown, &landed, &QEventLoop::quit);
        const std::vector<uchar> bytes(picture.bytes.begin(), picture.bytes.end());
        const double bare = medianMs(runs, [&] {
            int level = 0;
            quor_InitOstraImg(decodePicture(bytes), level);
        });
        for (int mode = 0; mode < 3; ++mode) {
            if (buttons[mode])
                window.findChild<QRadioButton*>(QLatin1String(buttons[mode]))->click();
            app.processEvents();
            const double shown = medianMs(runs, [&] {
                OstraInfo record;
                record.ip = QStringLiteral("192.168.137.45");
                record.status = REPLY_IMAGE;
                record.data = bytes;
                QMetaObject::invokeMethod(&window, "reveiveClientCom", Qt::DirectConnection,
                                          Q_ARG(OstraInfo, record));
                landed.exec();
            });
            std::printf("%-22s %-9s %9.2f ms %11.2f ms %8.2f\n", picture.name, modes[mode], shown,
                        bare, shown / bare);
        }
    }
    return 0;
}
