#include "common/singleapplication.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The test process is the first instance; further instances are this same executable
// started with --instance ID MODE, where MODE is "hold" (become the first and wait) or
// a message to send.
namespace {

QString ownId()
{
    return QStringLiteral("tst-single-%1").arg(QCoreApplication::applicationPid());
}

int runInstance(const QString& id, const QString& mode, int& argc, char** argv)
{
    SingleApplication app(id, argc, argv);
    if (mode == QLatin1String("hold")) {
        if (app.isRunning())
            return 3;
        QTextStream(stdout) << "primary" << Qt::endl;
        return app.exec();
    }
    if (!app.isRunning())
        return 5;
    return app.sendMessage(mode, 4000) ? 0 : 4;
}

} // namespace

class TestSingleApplication final : public QObject
{
    Q_OBJECT

private:
    static QStringList instanceArgs(const QString& id, const QString& mode)
    {
        return {QStringLiteral("--instance"), id, mode};
    }

    static int runSecond(const QString& id, const QString& mode)
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), instanceArgs(id, mode));
        // The event loop must keep running so that this process, the first instance,
        // can answer.
        QElapsedTimer clock;
        clock.start();
        while (child.state() != QProcess::NotRunning && clock.elapsed() < 10000)
            QTest::qWait(20);
        return child.state() == QProcess::NotRunning ? child.exitCode() : -1;
    }

private slots:
    void firstInstanceIsNotRunning()
    {
        auto* app = qobject_cast<SingleApplication*>(QCoreApplication::instance());
        QVERIFY(app);
        QVERIFY(!app->isRunning());
        QCOMPARE(app->id(), ownId());
        QVERIFY(!app->sendMessage(QStringLiteral("to myself"), 100));
    }

    void secondInstanceDeliversItsMessage()
    {
        auto* app = qobject_cast<SingleApplication*>(QCoreApplication::instance());
        QSignalSpy spy(app, &SingleApplication::messageReceived);
        QCOMPARE(runSecond(ownId(), QStringLiteral("raise_window_noop")), 0);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("raise_window_noop"));
        QCOMPARE(runSecond(ownId(), QStringLiteral("again")), 0);
        QTRY_COMPARE(spy.count(), 2);
    }

    // After a crash the lock names a dead process; the next start must not be refused.
    void crashedInstanceDoesNotBlockTheNext()
    {
        const QString id = ownId() + QStringLiteral("-other");
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(),
                     instanceArgs(id, QStringLiteral("hold")));
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readAll().trimmed(), QByteArray("primary"));
        QCOMPARE(runSecond(id, QStringLiteral("hello")), 0);

        holder.kill();
        QVERIFY(holder.waitForFinished(5000));

        QProcess next;
        next.start(QCoreApplication::applicationFilePath(),
                   instanceArgs(id, QStringLiteral("hold")));
        QVERIFY(next.waitForReadyRead(10000));
        QCOMPARE(next.readAll().trimmed(), QByteArray("primary"));
        next.kill();
        next.waitForFinished(5000);
    }

    // No lock file can be made where the temporary folder is a plain file: that is no
    // other instance, and the program must start.
    void unmakeableLockIsNotAnotherInstance()
    {
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("file")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), plain.fileName() + QStringLiteral("/tmp"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    instanceArgs(ownId() + QStringLiteral("-nolock"), QStringLiteral("hold")));
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray("primary"));
        child.kill();
        child.waitForFinished(5000);
    }
};

int main(int argc, char* argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--instance") == 0) {
        const QString id = QString::fromLocal8Bit(argv[2]);
        const QString mode = QString::fromLocal8Bit(argv[3]);
        int childArgc = 1;
        return runInstance(id, mode, childArgc, argv);
    }
    SingleApplication app(ownId(), argc, argv);
    TestSingleApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleapplication.moc"
