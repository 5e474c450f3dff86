// The acquisition window on a PC without a Wi-Fi adapter and without the hotspot program,
// as a program of its own: the test needs its real exit, and a quit on the last closed
// window leaves every event loop, message boxes' included.
//
//   imagra-closeharness CONFIG ORDER
//
// ORDER "hotspot-box-first": OK on "Please open Beaconry.exe" once discovery has given up.
// ORDER "window-first": the window is closed (as a session ends) while that box is open,
// and nobody clicks. Exits 3 when another box opened (it would be OK'd).

#include "acquisition/widget.h"
#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/support/windowfixture.h"

#include <QtWidgets>

#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    overrideConfigFilePath(QString::fromLocal8Bit(argv[1]));
    const bool windowFirst = qstrcmp(argv[2], "window-first") == 0;

    WindowFixture fixture;
    fixture.adapters.set({});
    fixture.runner.answer(QStringLiteral("tasklist"), // the hotspot program does not run
                          "INFO: No tasks are running which match the specified criteria.\r\n");
    auto window = fixture.make();
    window->show();

    bool gaveUp = false, closed = false, otherBox = false;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (!gaveUp && window->monitor())
            gaveUp = window->monitor()->wifi()->wifiStatus().noWifiAdapter();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible())
                continue;
            if (box->text() != QLatin1String("Please open Beaconry.exe")) {
                otherBox = true;
                box->done(QMessageBox::Ok);
            } else if (windowFirst && !closed) {
                closed = window->close();
            } else if (!windowFirst && gaveUp) {
                box->done(QMessageBox::Ok);
            }
        }
    });
    user.start(20);
    const int result = app.exec();
    window.reset();
    return otherBox ? 3 : result;
}
