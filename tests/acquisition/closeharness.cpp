// imagra-closeharness CONFIG ORDER: the acquisition program, started as the product starts,
// on a PC without a Wi-Fi adapter and without the hotspot program. ORDER "hotspot-box-first":
// OK on "Please open Beaconry.exe" once discovery has given up; "linger": the same, then,
// having told "1000", it handles events until a line comes on stdin; "window-first": the
// window is closed while that box is open. Exits 3 when another box opened.

#include "acquisition/startup.h"
#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/support/windowfixture.h"

#include <QtWidgets>

#include <memory>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    overrideConfigFilePath(QString::fromLocal8Bit(argv[1]));
    const QByteArray order = argv[2];
    WindowFixture fixture;
    fixture.adapters.set({});
    fixture.runner.answer(QStringLiteral("tasklist"), // the hotspot program does not run
                          "INFO: No tasks are running which match the specified criteria.\r\n");

    bool otherBox = false;
    const int result = runImagra(argc, argv, [&] {
        auto window = fixture.make();
        Widget* shown = window.get();
        auto* user = new QTimer(shown);
        if (order == "linger")
            QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] {
                QEventLoop events;
                QSocketNotifier input(0, QSocketNotifier::Read);
                QObject::connect(&input, &QSocketNotifier::activated, &events, &QEventLoop::quit);
                events.exec();
            });
        QObject::connect(user, &QTimer::timeout, [&otherBox, order, shown] {
            const bool gaveUp =
                shown->monitor() && shown->monitor()->wifi()->wifiStatus().noWifiAdapter();
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (!box || !box->isVisible())
                    continue;
                if (box->text() != QLatin1String("Please open Beaconry.exe")) {
                    otherBox = true;
                    box->done(QMessageBox::Ok);
                } else if (order == "window-first") {
                    shown->close();
                } else if (gaveUp) {
                    box->done(QMessageBox::Ok);
                }
            }
        });
        user->start(20);
        return window;
    });
    return otherBox ? 3 : result;
}
