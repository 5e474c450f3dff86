#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

constexpr int kSkipped = 77;

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// A process that is ended when the test leaves, passed or failed.
class Owned final : public QProcess
{
public:
    ~Owned() override { stop(*this); }
};

// The real program, with a configuration folder of its own and a lock folder of its own,
// so that neither the machine's configuration nor a Beaconry already running is touched.
void startBeaconry(QProcess& process, const QString& lockFolder, QProcessEnvironment environment)
{
    environment.insert(QStringLiteral("TMPDIR"), lockFolder);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(PRIVATE_CONFIG_SCRIPT), {QStringLiteral(BEACONRY_PATH)});
}

} // namespace

class TestBeaconryStartup final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir lockFolder;

    // Output of an X client on display; empty when it failed.
    static QString x11(const QString& display, const QString& program, const QStringList& args)
    {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        tool.setProcessEnvironment(environment);
        tool.start(program, args);
        if (!tool.waitForFinished(10000) || tool.exitCode() != 0)
            return QString();
        return QString::fromLocal8Bit(tool.readAllStandardOutput());
    }

private slots:
    void init() { QVERIFY(lockFolder.isValid()); }

    void secondStartExitsAndLeavesTheFirstAlone()
    {
        Owned first;
        startBeaconry(first, lockFolder.path(), QProcessEnvironment::systemEnvironment());
        QVERIFY(first.waitForStarted(5000));
        // The first instance holds its lock and listens once both files are there.
        const QDir folder(lockFolder.path());
        const bool holding = waitUntil(
            [&] {
                return first.state() != QProcess::Running ||
                       (!folder.entryList({QStringLiteral("single-*.lock")}).isEmpty() &&
                        !folder.entryList({QStringLiteral("single-*")}, QDir::System).isEmpty());
            },
            15000);
        if (first.state() != QProcess::Running && first.exitCode() == kSkipped)
            QSKIP(first.readAll().constData());
        QVERIFY2(holding && first.state() == QProcess::Running, first.readAll().constData());

        Owned second;
        QElapsedTimer clock;
        clock.start();
        startBeaconry(second, lockFolder.path(), QProcessEnvironment::systemEnvironment());
        QVERIFY(second.waitForFinished(10000));
        qInfo("second start exited after %lld ms", clock.elapsed());
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);

        QTest::qWait(300);
        QCOMPARE(first.state(), QProcess::Running);
    }

    void trayIconUnderXvfb()
    {
        for (const char* tool : {"Xvfb", "trayer", "xwininfo", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is missing: bash scripts/setup.sh").arg(tool)));
        }
        Owned xvfb;
        xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("640x120x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
        QVERIFY(xvfb.waitForStarted(5000));
        QVERIFY(waitUntil([&] { return xvfb.canReadLine() || xvfb.state() != QProcess::Running; },
                          15000));
        const QString display =
            QStringLiteral(":") + QString::fromLatin1(xvfb.readLine()).trimmed();
        QVERIFY2(display.size() > 1, "Xvfb named no display");

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        Owned trayer;
        trayer.setProcessEnvironment(environment);
        trayer.setProcessChannelMode(QProcess::MergedChannels);
        trayer.start(QStringLiteral("trayer"),
                     {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                      QStringLiteral("left"), QStringLiteral("--widthtype"),
                      QStringLiteral("pixel"), QStringLiteral("--width"), QStringLiteral("120"),
                      QStringLiteral("--height"), QStringLiteral("32")});
        const auto tree = [&] {
            return x11(display, QStringLiteral("xwininfo"),
                       {QStringLiteral("-root"), QStringLiteral("-tree")});
        };
        QVERIFY2(waitUntil([&] { return tree().contains(QLatin1String("(\"panel\" \"trayer\")")); },
                           15000),
                 qPrintable(QStringLiteral("the tray host did not come up: ") +
                            QString::fromLocal8Bit(trayer.readAll()) + tree()));

        // The desktop's own tray service, if any, would take the icon instead of the host.
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        Owned beaconry;
        startBeaconry(beaconry, lockFolder.path(), environment);
        QVERIFY(beaconry.waitForStarted(5000));

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
        const bool shown = waitUntil(
            [&] {
                const QString windows = tree();
                found = icon.match(windows);
                windowId = window.match(windows).captured(1);
                return (found.hasMatch() && !windowId.isEmpty()) ||
                       beaconry.state() != QProcess::Running;
            },
            15000);
        if (beaconry.state() != QProcess::Running && beaconry.exitCode() == kSkipped)
            QSKIP(beaconry.readAll().constData());
        QVERIFY2(shown && found.hasMatch() && !windowId.isEmpty(),
                 qPrintable(tree() + beaconry.readAll()));
        QVERIFY(found.captured(2).toInt() >= 16 && found.captured(3).toInt() >= 16);

        QVERIFY(waitUntil(
            [&] {
                return x11(display, QStringLiteral("xwininfo"), {QStringLiteral("-id"), windowId})
                    .contains(QLatin1String("IsUnMapped"));
            },
            5000));

        // "Exit" from the icon's menu ends the program within a few seconds.
        const int x = found.captured(4).toInt() + found.captured(2).toInt() / 2;
        const int y = found.captured(5).toInt() + found.captured(3).toInt() / 2;
        x11(display, QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QString::number(x), QString::number(y),
             QStringLiteral("click"), QStringLiteral("3")});
        QTest::qWait(500);
        x11(display, QStringLiteral("xdotool"),
            {QStringLiteral("key"), QStringLiteral("Up"), QStringLiteral("Return")});
        QVERIFY2(beaconry.waitForFinished(5000), "Beaconry still runs after Exit");
        QCOMPARE(beaconry.exitStatus(), QProcess::NormalExit);
        QCOMPARE(beaconry.exitCode(), 0);
        QVERIFY(!icon.match(tree()).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestBeaconryStartup)
#include "tst_beaconrystartup.moc"
