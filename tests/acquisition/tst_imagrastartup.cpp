#include <QProcess>
#include <QtTest>

// Starts the real program twice, inside a private configuration folder (see CMakeLists.txt):
// the second start hands over to the first and exits 0 without building a window.
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
        // The window and the TWAIN bridge's thread both report their start, in either order;
        // only after both is the first instance listening.
        QByteArray firstOutput;
        QTRY_VERIFY_WITH_TIMEOUT((firstOutput += first.readAll()).contains("InitOstra End") &&
                                     firstOutput.contains("InitUDP End"),
                                 15000);

        QProcess second;
        second.setProcessChannelMode(QProcess::MergedChannels);
        second.start(QStringLiteral(IMAGRA_PATH), QStringList());
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(!second.readAll().contains("Init Start"), "the second start built a window");
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        first.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestImagraStartup)
#include "tst_imagrastartup.moc"
