#include "common/singleapplication.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

// The test process is the first instance; further instances are this same executable
// started with --instance ID MODE, where MODE is "hold" (become the first, say "primary" and
// wait) or a message to send (exit 0 when delivered, 5 when no instance runs).
namespace {

QString ownId()
{
    return QStringLiteral("tst-single-%1").arg(QCoreApplication::applicationPid());
}

// Starts another instance; with unmakeable set, where no lock file can be made even by root:
// the temporary folder does not exist (Qt then names the lock relative to the working
// folder), and the working folder is /proc.
void startInstance(QProcess& child, const QString& id, const QString& mode, bool unmakeable = false)
{
    if (unmakeable) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), QStringLiteral("/nonexistent/tmp"));
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(QStringLiteral("/proc"));
    }
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--instance"), id, mode});
}

// Runs a sending instance to its end while this process, the first one, keeps answering.
int send(const QString& id, const QString& message)
{
    QProcess child;
    startInstance(child, id, message);
    QSignalSpy finished(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    return finished.wait(10000) ? child.exitCode() : -1;
}

} // namespace

class TestSingleApplication final : public QObject
{
    Q_OBJECT

private slots:
    void firstInstanceDeliversNothingToItself()
    {
        auto* app = qobject_cast<SingleApplication*>(QCoreApplication::instance());
        QVERIFY(!app->isRunning());
        QCOMPARE(app->id(), ownId());
        QVERIFY(!app->sendMessage(QStringLiteral("to myself"), 100));
    }

    void laterInstancesDeliverTheirMessages()
    {
        auto* app = qobject_cast<SingleApplication*>(QCoreApplication::instance());
        QSignalSpy spy(app, &SingleApplication::messageReceived);
        QCOMPARE(send(ownId(), QStringLiteral("raise_window_noop")), 0);
        QCOMPARE(send(ownId(), QStringLiteral("again")), 0);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("raise_window_noop"));
    }

    // After a crash the lock names a dead process; the next start must not be refused. A
    // lock that cannot be made is no other instance either.
    void deadOrUnmakeableLocksAreNoInstance()
    {
        const QString id = ownId() + QStringLiteral("-other");
        QProcess holder;
        startInstance(holder, id, QStringLiteral("hold"));
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(send(id, QStringLiteral("hello")), 0);
        holder.kill();
        QVERIFY(holder.waitForFinished(5000));
        QCOMPARE(send(id, QStringLiteral("hello")), 5);
        for (const bool unmakeable : {false, true}) {
            QProcess next;
            startInstance(next, id, QStringLiteral("hold"), unmakeable);
            QVERIFY(next.waitForReadyRead(10000));
            QCOMPARE(next.readAllStandardOutput().trimmed(), QByteArray("primary"));
            next.kill();
            next.waitForFinished(5000);
        }
    }
};

int main(int argc, char* argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--instance") == 0) {
        const QString mode = QString::fromLocal8Bit(argv[3]);
        int childArgc = 1;
        SingleApplication app(QString::fromLocal8Bit(argv[2]), childArgc, argv);
        if (mode == QLatin1String("hold")) {
            if (app.isRunning())
                return 3;
            QTextStream(stdout) << "primary" << Qt::endl;
            return app.exec();
        }
        return !app.isRunning() ? 5 : app.sendMessage(mode, 4000) ? 0 : 4;
    }
    SingleApplication app(ownId(), argc, argv);
    qRegisterMetaType<QProcess::ExitStatus>();
    TestSingleApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleapplication.moc"
