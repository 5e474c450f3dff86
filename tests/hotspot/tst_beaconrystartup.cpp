#include <QStandardPaths>
#include <QtTest>

// The real program under Xvfb with a tray host; a private configuration folder and lock folder
// keep the machine's configuration and any Beaconry already running untouched.
class TestBeaconryStartup final : public QObject
{
    Q_OBJECT

private slots:
    void oneInstanceInTheTray()
    {
        for (const char* tool : {"Xvfb", "trayer", "xwininfo", "xdotool"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString("%1 is missing: bash scripts/setup.sh").arg(tool)));
        QTemporaryDir lockFolder;
        QProcess xvfb, trayer, beaconry, second; // each killed, if need be, when it goes
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "640x120x24", "-nolisten", "tcp"});
        QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine() || xvfb.state() == QProcess::NotRunning, 15000);
        qputenv("DISPLAY", ":" + xvfb.readLine().trimmed());
        qputenv("TMPDIR", lockFolder.path().toUtf8());
        // The desktop's own tray service, if any, would take the icon instead of the host.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("QT_QPA_PLATFORM", "xcb");
        const auto x11 = [&](const QStringList& command) {
            QProcess tool;
            tool.start(command.first(), command.mid(1));
            tool.waitForFinished(10000);
            return QString::fromLocal8Bit(tool.readAllStandardOutput());
        };
        const auto tree = [&] { return x11({"xwininfo", "-root", "-tree"}); };
        trayer.start("trayer", {"--edge", "top", "--align", "left", "--widthtype", "pixel",
                                "--width", "120", "--height", "32"});
        QTRY_VERIFY_WITH_TIMEOUT(tree().contains("(\"panel\" \"trayer\")"), 15000);

        // The icon is embedded in the host's panel; the window shows only for a moment.
        beaconry.setProcessChannelMode(QProcess::MergedChannels);
        beaconry.start(PRIVATE_CONFIG_SCRIPT, {BEACONRY_PATH});
        const QRegularExpression icon(
            "^ {6,}(0x[0-9a-f]+) \"Beaconry\": \\(\"Beaconry\" \"Beaconry\"\\)",
            QRegularExpression::MultilineOption);
        const QRegularExpression window("^ {5}(0x[0-9a-f]+) \"Beaconry\": .*  315x145",
                                        QRegularExpression::MultilineOption);
        const auto shown = [&] {
            return icon.match(tree()).hasMatch() && window.match(tree()).hasMatch();
        };
        QTRY_VERIFY_WITH_TIMEOUT(shown() || beaconry.state() == QProcess::NotRunning, 15000);
        if (beaconry.state() == QProcess::NotRunning && beaconry.exitCode() == 77)
            QSKIP(beaconry.readAll().constData());
        QVERIFY2(shown(), qPrintable(tree() + beaconry.readAll()));
        const QString iconId = icon.match(tree()).captured(1);
        QTRY_VERIFY_WITH_TIMEOUT(
            x11({"xwininfo", "-id", window.match(tree()).captured(1)}).contains("IsUnMapped"),
            10000);

        // A second start ends at once and leaves the first one alone.
        second.start(PRIVATE_CONFIG_SCRIPT, {BEACONRY_PATH});
        QVERIFY(second.waitForFinished(10000) && second.exitStatus() == QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(beaconry.state(), QProcess::Running);

        // "Exit", the menu's last entry, ends the program (the menu is one more window).
        const auto windows = [&] { return tree().count("(\"Beaconry\" \"Beaconry\")"); };
        const int before = windows();
        x11({"xdotool", "mousemove", "--window", iconId, "4", "4", "click", "3"});
        QTRY_VERIFY_WITH_TIMEOUT(windows() > before, 10000);
        x11({"xdotool", "key", "Up", "Return"});
        QVERIFY2(beaconry.waitForFinished(10000) && beaconry.exitStatus() == QProcess::NormalExit,
                 "Beaconry still runs after Exit");
        QCOMPARE(beaconry.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBeaconryStartup)
#include "tst_beaconrystartup.moc"
