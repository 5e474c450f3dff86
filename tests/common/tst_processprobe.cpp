#include "common/processprobe.h"
#include "tests/mock/fakerunner.h"

#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kNoTasks =
    QStringLiteral("INFO: No tasks are running which match the specified criteria.\r\n");

} // namespace

class TestProcessProbe final : public QObject
{
    Q_OBJECT

private slots:
    void asksTheProcessListWithTheFilter_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<QString>("search");
        QTest::addColumn<bool>("running");
        const QString listed =
            QStringLiteral("\r\nImage Name                     PID Session Name\r\n"
                           "========================= ======== ============\r\n"
                           "Beaconry.exe                  4242 Console\r\n");
        QTest::newRow("Listed: running") << listed << true << "Beaconry" << true;
        QTest::newRow("The name's case counts") << listed << true << "BEACONRY" << false;
        QTest::newRow("A list that never came counts as absent")
            << listed << false << "Beaconry" << false;
        QTest::newRow("No task matched") << kNoTasks << true << "Beaconry" << false;
    }
    void asksTheProcessListWithTheFilter()
    {
        QFETCH(QString, listing);
        QFETCH(bool, finished);
        QFETCH(QString, search);
        QFETCH(bool, running);
        FakeRunner runner;
        runner.answer(QStringLiteral("tasklist"), listing, finished);
        QCOMPARE(processRunning(runner, QStringLiteral("imagename eq Beaconry.exe "), search),
                 running);
        const auto runs = runner.runs();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs.at(0).program, QStringLiteral("tasklist"));
        QCOMPARE(runs.at(0).arguments, (QStringList{QStringLiteral("-fi"),
                                                    QStringLiteral("imagename eq Beaconry.exe ")}));
        QVERIFY(!runs.at(0).commandLine);
        QCOMPARE(runs.at(0).finishMs, 30000);
    }

    // The real process list: a program running under the hotspot's name counts.
    void hotspotFoundWithoutAMessage()
    {
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("Beaconry"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
        QProcess hotspot;
        hotspot.start(program, {QStringLiteral("30")});
        QVERIFY(hotspot.waitForStarted());
        QVERIFY(hotspotRunning());
        QVERIFY(suiteAbsent());
        QVERIFY(!airstepRunning());
        hotspot.kill();
        hotspot.waitForFinished();
    }

    // Without it, one message; a second ask while it is open adds none. (Other tests may
    // run a program under the hotspot's name meanwhile, so the list is canned here.)
    void missingHotspotShowsOneMessage()
    {
        FakeRunner runner;
        runner.answer(QStringLiteral("tasklist"), kNoTasks);
        int boxes = 0;
        bool nestedAnswer = true;
        QTimer poke;
        connect(&poke, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible())
                    continue;
                ++boxes;
                QCOMPARE(box->text(), QStringLiteral("Please open Beaconry.exe"));
                nestedAnswer = hotspotRunning(runner); // returns at once, no second box
                box->accept();
            }
        });
        poke.start(50);
        QVERIFY(!hotspotRunning(runner));
        QCOMPARE(boxes, 1);
        QVERIFY(!nestedAnswer);
    }
};

QTEST_MAIN(TestProcessProbe)
#include "tst_processprobe.moc"
