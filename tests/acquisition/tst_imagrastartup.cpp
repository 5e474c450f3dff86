#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

// Starts the real program, twice.
class TestImagraStartup final : public QObject
{
    Q_OBJECT

private slots:
    void secondStartExitsAndLeavesTheFirstAlone()
    {
        QProcess first;
        first.setProcessChannelMode(QProcess::MergedChannels);
        first.start(QStringLiteral(IMAGRA_PATH), QStringList());
        QVERIFY(first.waitForStarted(5000));
        QByteArray firstOutput;
        QElapsedTimer clock;
        clock.start();
        // The window and the TWAIN bridge's thread both report their start, in either order;
        // only after both is the first instance quiet.
        const auto started = [&] {
            return firstOutput.contains("InitOstra End") && firstOutput.contains("InitUDP End");
        };
        while (!started() && clock.elapsed() < 15000 && first.state() == QProcess::Running) {
            first.waitForReadyRead(100);
            firstOutput += first.readAll();
        }
        QVERIFY2(started(), firstOutput.constData());

        QProcess second;
        second.setProcessChannelMode(QProcess::MergedChannels);
        clock.restart();
        second.start(QStringLiteral(IMAGRA_PATH), QStringList());
        QVERIFY(second.waitForFinished(5000));
        const qint64 took = clock.elapsed();
        qInfo("second start exited after %lld ms", took);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        // No window and no configuration: the second start never gets to the window.
        QVERIFY2(!second.readAll().contains("Init Start"), "the second start built a window");

        QTest::qWait(300);
        QCOMPARE(first.state(), QProcess::Running);
        // The first goes on ticking, but builds nothing anew for the second start.
        first.waitForReadyRead(100);
        QVERIFY(!first.readAll().contains("Init Start"));

        first.terminate();
        if (!first.waitForFinished(5000)) {
            first.kill();
            first.waitForFinished(5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestImagraStartup)
#include "tst_imagrastartup.moc"
