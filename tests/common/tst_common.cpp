#include "common/logfile.h"
#include "common/processprobe.h"
#include "common/settings.h"
#include "common/singleapplication.h"
#include "tests/mock/fakerunner.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <thread>

// Further instances are this executable started with --instance ID MODE: MODE "hold" becomes
// the first and says "primary"; "hand-over" settles the start as the programs do (exit code:
// the Handover); any other MODE is a message to send (exit 0 when delivered, 5 when no
// instance runs).
namespace {

QString ownId()
{
    return QStringLiteral("tst-common-%1").arg(QCoreApplication::applicationPid());
}

// The instances keep their locks and sockets in a folder of this run. With unmakeable, no
// lock can be made even by root: the folder does not exist, so Qt names the lock relative to
// the working folder, /proc.
void startInstance(QProcess& child, const QString& id, const QString& mode, bool unmakeable = false)
{
    static QTemporaryDir folder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), unmakeable ? folder.filePath("none") : folder.path());
    child.setProcessEnvironment(env);
    if (unmakeable)
        child.setWorkingDirectory(QStringLiteral("/proc"));
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--instance"), id, mode});
}

int send(const QString& id, const QString& message)
{
    QProcess child;
    startInstance(child, id, message);
    return child.waitForFinished(10000) ? child.exitCode() : -1;
}

QStringList forwarded;

} // namespace

class TestCommon final : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString file = dir.filePath(QStringLiteral("OstraImagraEXE/scanConfig.ini"));

    void writeRaw(const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::WriteOnly | QIODevice::Truncate));
        raw.write(text);
    }
    QByteArray readRaw(const QString& path = {}) const
    {
        QFile raw(path.isEmpty() ? file : path);
        return raw.open(QIODevice::ReadOnly) ? raw.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        QFile::remove(file);
        overrideConfigFilePath(file);
    }

    // Reading never writes: the other program may be writing, or the file is not ours.
    void configurationReads_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char* rule, const char* text, const char* key, QString value,
                            const char* warning = "") {
            QTest::newRow(rule) << QByteArray(text) << QString(key) << value << QString(warning);
        };
        // So that the window and the TWAIN data source never disagree on the picture's path.
        row("An unquoted comma reads as no value, as Qt reads it",
            "[IMAHE]\nImageScanPth=D:/a,b/scan.bmp\n", "IMAHE/ImageScanPth", "", "unquoted comma");
        // Typed values would be built as whatever type their bytes name, sizes included, and
        // Qt's reader unescapes and joins lines before it looks.
        const QString typed = QString::fromUtf16(u"@Variant(\0\0\0I\0)", 15);
        row("A typed value reads as its text", "[UDP]\nPort=@Variant(\\0\\0\\0I\\0)\n", "UDP/Port",
            typed);
        row("A typed value spelt with an octal escape reads as its text",
            "[UDP]\nPort=@\\126ariant(\\0\\0\\0I\\0)\n", "UDP/Port", typed);
        row("A typed value split over a continued line reads as its text",
            "[UDP]\nPort=@Vari\\\nant(\\0\\0\\0I\\0)\n", "UDP/Port", typed);
        row("A key of a section before [General] stays in that section",
            "[Paths]\ndir=/a\n[General]\nx=1\n", "dir", "");
        row("A rectangle reads as its text", "[UDP]\nPort=@Rect(1 2 3 4)\n", "UDP/Port",
            "@Rect(1 2 3 4)");
    }
    void configurationReads()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, warning);
        writeRaw(text);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        QCOMPARE(readSetting(key), value);
        QCOMPARE(readSettingAt(file, key), value);
        QCOMPARE(readRaw(), text);
        // A write of another key keeps this one as it was read.
        QVERIFY(writeSetting(QStringLiteral("IMAHE/ProType"), "2"));
        QCOMPARE(readSetting(key), value);
    }

    // Any text, under keys that need escaping too: what Qt's own INI writer stores reads back
    // equal, and writeSetting stores it byte for byte as Qt's writer does, so the TWAIN data
    // source's reader reads it as Qt's own. From the characters the INI rules treat specially.
    void everyTextSurvivesQtsIniRules()
    {
        const QString alphabet = QString::fromUtf16(
            u"aZ09 _-.@,;=\"\\/%[]#\t\n\r\0\x7f\x80\xe9\x3000\xd800\xdc00\xfffd\x1f", 31);
        QRandomGenerator random(19);
        const auto generate = [&](int maxLength) {
            QString text;
            for (int n = int(random.bounded(maxLength + 1)); n > 0; --n)
                text += alphabet.at(int(random.bounded(alphabet.size())));
            return random.bounded(4) == 0 ? QLatin1Char('@') + text : text;
        };
        const QStringList typed = {QString::fromUtf16(u"@Variant(\0\0\0I\0)", 15), "@Rect(1 2 3 4)",
                                   "@String(x)", "@ByteArray(x)", "@@"};
        for (int i = 0; i < 300; ++i) {
            const QString key = QStringLiteral("x%1/%2").arg(generate(4), generate(4));
            const QString text = i < typed.size() ? typed.at(i) : generate(12);
            const QString byQt = dir.filePath(QStringLiteral("qt%1.ini").arg(i));
            QSettings(byQt, QSettings::IniFormat).setValue(key, text);
            QCOMPARE(readSettingAt(byQt, key), text);
            overrideConfigFilePath(dir.filePath(QStringLiteral("ours%1.ini").arg(i)));
            QVERIFY(writeSetting(key, text));
            QCOMPARE(readSetting(key), text);
            QCOMPARE(readRaw(configFilePath()), readRaw(byQt));
        }
    }

    void unwritableConfigurationIsReported()
    {
        // A plain file where the folder should be: refused even to root.
        writeRaw("");
        overrideConfigFilePath(file + QStringLiteral("/scanConfig.ini"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Could not write")));
        QVERIFY(!writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
        // A file over the bound, which a rewrite would cut to the keys of its first megabyte.
        overrideConfigFilePath(file);
        const QByteArray large = "[UDP]\nPort=5801\n" + QByteArray(1024 * 1024, ';');
        writeRaw(large);
        for (int i = 0; i < 4; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("too many|not a regular"));
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")), QString());
        QVERIFY(!writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
        QCOMPARE(readRaw(), large);
        // A pipe in the file's place, which would hold a reader at its opening.
        QVERIFY(QFile::remove(file) && ::mkfifo(QFile::encodeName(file), 0600) == 0);
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")), QString());
        QVERIFY(!writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
    }

    // The discovery thread and the GUI thread write different keys at the same time.
    void concurrentWritersLoseNothing()
    {
        auto writer = [](const QString& group) {
            for (int i = 0; i < 40; ++i)
                writeSetting(group + QStringLiteral("/k%1").arg(i), QString::number(i));
        };
        std::thread a(writer, QStringLiteral("A")), b(writer, QStringLiteral("B"));
        a.join();
        b.join();
        for (int i = 0; i < 40; ++i) {
            QCOMPARE(readSetting(QStringLiteral("A/k%1").arg(i)), QString::number(i));
            QCOMPARE(readSetting(QStringLiteral("B/k%1").arg(i)), QString::number(i));
        }
    }

    // A crashed instance's lock names a dead process; a lock that cannot be made is no
    // instance either. Neither may refuse the next start.
    void deadOrUnmakeableLocksAreNoInstance()
    {
        const QString id = ownId() + QStringLiteral("-other");
        QProcess holder;
        startInstance(holder, id, QStringLiteral("hold"));
        QVERIFY(holder.waitForReadyRead(10000));
        holder.kill();
        QVERIFY(holder.waitForFinished(5000));
        QCOMPARE(send(id, QStringLiteral("hello")), 5);
        QProcess next; // takes the dead instance's lock and socket over
        startInstance(next, id, QStringLiteral("hold"));
        QVERIFY(next.waitForReadyRead(10000));
        QCOMPARE(send(id, QStringLiteral("after the crash")), 0);
        QProcess unlocked;
        startInstance(unlocked, id, QStringLiteral("hold"), true);
        QVERIFY(unlocked.waitForReadyRead(10000));
        QCOMPARE(unlocked.readAllStandardOutput().trimmed(), QByteArray("primary"));
        next.kill();
        unlocked.kill();
        next.waitForFinished(5000);
        unlocked.waitForFinished(5000);
    }

    // A stopped instance holds its lock but neither answers nor ends: a start gives up on it.
    void aStartGivesUpOnAnInstanceThatNeitherAnswersNorEnds()
    {
        const QString id = ownId() + QStringLiteral("-stopped");
        QProcess holder;
        startInstance(holder, id, QStringLiteral("hold"));
        QVERIFY(holder.waitForReadyRead(10000));
        ::kill(holder.processId(), SIGSTOP);
        QCOMPARE(send(id, QStringLiteral("hand-over")), int(SingleApplication::Handover::Failed));
        ::kill(holder.processId(), SIGCONT);
        QCOMPARE(send(id, QStringLiteral("hand-over")),
                 int(SingleApplication::Handover::Delivered));
        holder.kill();
        holder.waitForFinished(5000);
    }

    // The process list comes filtered by the program's image name, and the name's case counts.
    void processPresence_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("listed"); // null: no list within the wait
        QTest::addColumn<bool>("running");
        QTest::newRow("The hotspot listed runs") << QString("Beaconry") << "Beaconry.exe" << true;
        QTest::newRow("The suite listed runs") << QString("Tessaly") << "Tessaly.exe" << true;
        QTest::newRow("The suite in capitals is not it")
            << QString("Tessaly") << "TESSALY.EXE" << false;
        QTest::newRow("No list: the suite counts as absent") << "Tessaly" << QString() << false;
    }
    void processPresence()
    {
        QFETCH(QString, name);
        QFETCH(QString, listed);
        QFETCH(bool, running);
        FakeRunner runner; // answers only the right filter
        runner.answer(QStringLiteral("tasklist -fi imagename eq %1.exe ").arg(name),
                      QStringLiteral("Image Name   PID\r\n%1 4242 Console\r\n").arg(listed),
                      !listed.isNull());
        QCOMPARE(name == "Beaconry" ? hotspotRunning(runner) : !suiteAbsent(runner), running);
    }

    // One file per start, named by its time, beside the default output; the newest 30 stay.
    void logFilePerStart()
    {
        const QString folder = dir.filePath(QStringLiteral("LogFile"));
        QVERIFY(QDir().mkpath(folder));
        for (int day = 1; day <= 32; ++day)
            QFile(folder + QStringLiteral("/2026-01-%1 10-00-00.log").arg(day, 2, 10, QChar('0')))
                .open(QIODevice::WriteOnly);
        QFile(folder + QStringLiteral("/notes.log")).open(QIODevice::WriteOnly);
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& m) { forwarded << m; });
        const QDateTime now(QDate(2026, 12, 6), QTime(19, 0, 0));
        QVERIFY(startLogFile(folder, now));
        qInfo("Widget Init Start");
        stopLogFile();
        qInfo("after the end");
        qInstallMessageHandler(previous);
        QCOMPARE(forwarded.size(), 2);
        QFile log(folder + QStringLiteral("/2026-12-06 19-00-00.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().endsWith("info: Widget Init Start\n")); // and nothing after the end
        const QStringList logs = QDir(folder).entryList({"2026-*.log"}, QDir::Files, QDir::Name);
        QCOMPARE(logs.size(), 30);
        QCOMPARE(logs.first(), QStringLiteral("2026-01-04 10-00-00.log"));
        QVERIFY(QFile::exists(folder + QStringLiteral("/notes.log")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Cannot")));
        QVERIFY(!startLogFile(log.fileName()));
    }

    // The configuration and the logs are the camera group's alone (0660) whatever the umask,
    // also where the rename-save replaces a world-readable configuration.
    void writtenFilesAreTheGroupsAlone()
    {
        const QString log = dir.filePath(QStringLiteral("logs/2026-12-07 08-00-00.log"));
        for (const mode_t umask : {0, 077}) {
            for (const mode_t earlier : {0, 0664}) {
                const mode_t was = ::umask(umask);
                QVERIFY(!earlier || ::chmod(QFile::encodeName(file), earlier) == 0);
                const bool written = writeSetting(QStringLiteral("IMAHE/AutoSave"), "1");
                const bool logged =
                    startLogFile(QFileInfo(log).path(), QDateTime(QDate(2026, 12, 7), QTime(8, 0)));
                ::umask(was);
                stopLogFile();
                for (const QString& path : {file, log}) {
                    struct stat status = {};
                    QVERIFY(written && logged && ::stat(QFile::encodeName(path), &status) == 0);
                    QCOMPARE(status.st_mode & 07777, mode_t(0660));
                }
            }
        }
    }
};

int main(int argc, char* argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--instance") == 0) {
        const QString mode = QString::fromLocal8Bit(argv[3]);
        int childArgc = 1;
        SingleApplication app(QString::fromLocal8Bit(argv[2]), childArgc, argv);
        if (mode == QLatin1String("hand-over"))
            return int(app.handOver(mode, 500, 500));
        if (mode != QLatin1String("hold"))
            return !app.isRunning() ? 5 : app.sendMessage(mode, 4000) ? 0 : 4;
        if (app.isRunning())
            return 3;
        QTextStream(stdout) << "primary" << Qt::endl;
        return app.exec();
    }
    SingleApplication app(ownId(), argc, argv);
    TestCommon test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_common.moc"
