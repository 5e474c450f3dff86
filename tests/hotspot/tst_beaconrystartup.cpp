#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kSkipped = 77;

// A process that is ended when the test leaves, passed or failed.
class Owned final : public QProcess
{
public:
    ~Owned() override
    {
        if (state() == QProcess::NotRunning)
            return;
        terminate();
        if (!waitForFinished(5000)) {
            kill();
            waitForFinished(5000);
        }
    }
};

// Output of an X client; empty when it failed.
QString x11(const QProcessEnvironment& environment, const QStringList& command)
{
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(command.first(), command.mid(1));
    if (!tool.waitForFinished(10000) || tool.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(tool.readAllStandardOutput());
}

} // namespace

// The real program on a virtual display with a tray host, in a private mount namespace over
// the configuration folder and with a lock folder of its own, so that neither the machine's
// configuration nor a Beaconry already running is touched.
class TestBeaconryStartup final : public QObject
{
    Q_OBJECT

private slots:
    void trayIconUnderXvfb()
    {
        for (const char* tool : {"Xvfb", "trayer", "xwininfo", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is missing: bash scripts/setup.sh").arg(tool)));
        }
        QTemporaryDir lockFolder;
        QVERIFY(lockFolder.isValid());
        Owned xvfb;
        xvfb.start(QStringLiteral("Xvfb"), QStringList{"-displayfd", "1", "-screen", "0",
                                                       "640x120x24", "-nolisten", "tcp"});
        QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine() || xvfb.state() == QProcess::NotRunning, 15000);
        const QString display =
            QStringLiteral(":") + QString::fromLatin1(xvfb.readLine()).trimmed();
        QVERIFY2(display.size() > 1, "Xvfb named no display");

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("TMPDIR"), lockFolder.path());
        Owned trayer;
        trayer.setProcessEnvironment(environment);
        trayer.start(QStringLiteral("trayer"),
                     QStringList{"--edge", "top", "--align", "left", "--widthtype", "pixel",
                                 "--width", "120", "--height", "32"});
        const auto tree = [&] { return x11(environment, {"xwininfo", "-root", "-tree"}); };
        QTRY_VERIFY_WITH_TIMEOUT(tree().contains(QLatin1String("(\"panel\" \"trayer\")")), 15000);

        // The desktop's own tray service, if any, would take the icon instead of the host.
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        const auto start = [&](QProcess& beaconry) {
            beaconry.setProcessEnvironment(environment);
            beaconry.setProcessChannelMode(QProcess::MergedChannels);
            beaconry.start(QStringLiteral(PRIVATE_CONFIG_SCRIPT), {QStringLiteral(BEACONRY_PATH)});
        };
        Owned beaconry;
        start(beaconry);

        // The icon is a Beaconry window embedded below the host's panel; the window itself
        // is a top-level one of the form's size, shown only for a moment.
        const QRegularExpression icon(
            QStringLiteral("^ {6,}(0x[0-9a-f]+) \"Beaconry\": \\(\"Beaconry\" \"Beaconry\"\\)"
                           "  (\\d+)x(\\d+)\\+-?\\d+\\+-?\\d+  \\+(-?\\d+)\\+(-?\\d+)$"),
            QRegularExpression::MultilineOption);
        const QRegularExpression window(
            QStringLiteral("^ {5}(0x[0-9a-f]+) \"Beaconry\": \\(\"Beaconry\" \"Beaconry\"\\)  "
                           "315x145"),
            QRegularExpression::MultilineOption);
        QRegularExpressionMatch found;
        QString windowId;
        const auto shown = [&] {
            const QString windows = tree();
            found = icon.match(windows);
            windowId = window.match(windows).captured(1);
            return found.hasMatch() && !windowId.isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(shown() || beaconry.state() == QProcess::NotRunning, 15000);
        if (beaconry.state() == QProcess::NotRunning && beaconry.exitCode() == kSkipped)
            QSKIP(beaconry.readAll().constData());
        QVERIFY2(shown(), qPrintable(tree() + beaconry.readAll()));
        QVERIFY(found.captured(2).toInt() >= 16 && found.captured(3).toInt() >= 16);
        QTRY_VERIFY_WITH_TIMEOUT(
            x11(environment, {"xwininfo", "-id", windowId}).contains(QLatin1String("IsUnMapped")),
            10000);

        // A second start ends at once and leaves the first one alone.
        Owned second;
        start(second);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(beaconry.state(), QProcess::Running);

        // "Exit", the menu's last entry, ends the program. The menu is one more window.
        const auto windows = [&] {
            return tree().count(QLatin1String("(\"Beaconry\" \"Beaconry\")"));
        };
        const int before = windows();
        const QString x =
            QString::number(found.captured(4).toInt() + found.captured(2).toInt() / 2);
        const QString y =
            QString::number(found.captured(5).toInt() + found.captured(3).toInt() / 2);
        x11(environment, {"xdotool", "mousemove", x, y, "click", "3"});
        QTRY_VERIFY_WITH_TIMEOUT(windows() > before, 10000);
        x11(environment, {"xdotool", "key", "Up", "Return"});
        QVERIFY2(beaconry.waitForFinished(10000), "Beaconry still runs after Exit");
        QCOMPARE(beaconry.exitStatus(), QProcess::NormalExit);
        QCOMPARE(beaconry.exitCode(), 0);
        QVERIFY(!icon.match(tree()).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestBeaconryStartup)
#include "tst_beaconrystartup.moc"
