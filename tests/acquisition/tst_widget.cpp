#include "acquisition/widget.h"
#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/support/windowfixture.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

// The window as a user meets it: the settings it starts with, its 500 ms tick, and its close.
class TestWidget final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    // Qt caches settings files by path and may miss a rewrite of the same size within one
    // clock tick, so every configuration gets a file of its own.
    void useConfig(const QByteArray& text)
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("config%1.ini").arg(++serial)));
        QFile file(configFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

private slots:
    void settingsShownAtStart_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("checked"); // the mode's radio button
        QTest::addColumn<bool>("autoSave");
        QTest::addColumn<int>("proType");
        QTest::newRow("Nothing set: mode 0, no auto-save")
            << QByteArray() << QByteArray() << false << 0;
        QTest::newRow("HD with auto-save")
            << QByteArray("ProType=1\nAutoSave=1") << QByteArray("radioButton_hd") << true << 1;
        QTest::newRow("Ultra HD") << QByteArray("ProType=2\nAutoSave=0")
                                  << QByteArray("radioButton_ultraHD") << false << 2;
        QTest::newRow("An unknown mode shows as Ultra HD and is kept")
            << QByteArray("ProType=7\nAutoSave=5") << QByteArray("radioButton_ultraHD") << true
            << 7;
        QTest::newRow("Words count as 0")
            << QByteArray("ProType=HD\nAutoSave=yes") << QByteArray() << false << 0;
    }
    void settingsShownAtStart()
    {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, checked);
        QFETCH(bool, autoSave);
        QFETCH(int, proType);
        const QString picture = dir.filePath(QStringLiteral("%1/deep/scan.png").arg(proType));
        useConfig("[IMAHE]\n" + config + "\nImageScanPth=" + picture.toUtf8() + "\n");
        WindowFixture fixture;
        auto window = fixture.make();
        for (const char* radio : {"radioButton_hd", "radioButton_ultraHD"})
            QCOMPARE(window->findChild<QRadioButton*>(radio)->isChecked(), checked == radio);
        QCOMPARE(window->findChild<QRadioButton*>("radioButton_auto_save")->isChecked(), autoSave);
        QCOMPARE(window->autoSaveEnabled(), autoSave);
        QCOMPARE(window->processingType(), proType);
        // The folder is made so that the first save can write; the file itself is not.
        QVERIFY(QFileInfo(QFileInfo(picture).absolutePath()).isDir());
        QVERIFY(!QFileInfo::exists(picture));
        // Nothing to turn or save before the first picture.
        for (const char* tool :
             {"pushButton_image_save", "pushButton_roateLeft90", "pushButton_rotateRight90",
              "pushButton_filpVertical", "pushButton_filpHorizontal"})
            QVERIFY2(!window->findChild<QPushButton*>(tool)->isEnabled(), tool);
    }

    // The selector follows discovery in its own order, also when neighbours vanish at once.
    void selectorFollowsDiscovery()
    {
        useConfig(QByteArray());
        WindowFixture fixture;
        auto window = fixture.make();
        auto* selector = window->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
        window->syncDeviceSelector({"a", "b", "c", "d", "e"});
        window->syncDeviceSelector({"f", "c", "e"});
        QStringList shown;
        for (int i = 0; i < selector->count(); ++i)
            shown << selector->itemText(i);
        QCOMPARE(shown, (QStringList{"c", "e", "f"}));
    }

    // The tick, driven by its own timer against the fakes (the hotspot program missing: the
    // close harness below): no Wi-Fi adapter closes the window after its notice, only once
    // discovery has looked; the hosted network shows its name. A tick that comes while a box
    // of the tick is open opens nothing more.
    void tick_data()
    {
        QTest::addColumn<QString>("box"); // none: a Wi-Fi adapter hosts the network
        QTest::newRow("No Wi-Fi adapter, once discovery has looked: notice and close")
            << QStringLiteral("WIFI is not turned on");
        QTest::newRow("Hosted network: its name shows, the window stays") << QString();
    }
    void tick()
    {
        QFETCH(QString, box);
        useConfig("[WIFI]\nssid=clinic\n");
        WindowFixture fixture;
        if (!box.isEmpty())
            fixture.adapters.set({});
        auto window = fixture.make();
        window->show();

        QStringList boxes;
        bool discoveryHadLooked = true;
        QTimer user;
        connect(&user, &QTimer::timeout, this, [&] {
            auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!shown || boxes.contains(shown->objectName()))
                return;
            shown->setObjectName(QString::number(boxes.size()));
            boxes.append(shown->text());
            if (window->monitor())
                discoveryHadLooked = discoveryHadLooked &&
                                     (shown->text() != QLatin1String("WIFI is not turned on") ||
                                      window->monitor()->wifi()->wifiStatus().started);
            if (boxes.size() == 1)
                QMetaObject::invokeMethod(window.get(), "Wifi_TimerTimeOut");
            shown->done(QMessageBox::Ok);
        });
        user.start(10);

        auto* ssid = window->findChild<QLabel*>(QStringLiteral("label_9"));
        if (box.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(ssid->text(), QStringLiteral("clinic"), 15000);
            QVERIFY(window->isVisible());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 15000);
        }
        QCOMPARE(boxes, box.isEmpty() ? QStringList() : QStringList{box});
        QVERIFY(discoveryHadLooked);
    }

    // With no Wi-Fi adapter and no hotspot program, the tick closes the window from inside
    // its message box; the teardown must wait for the tick. Once closing, no box opens and
    // none keeps the program from ending.
    void closingFromTheTicksMessageBoxesEndsCleanly_data()
    {
        QTest::addColumn<QString>("order");
        QTest::newRow("OK on the hotspot box after discovery gave up, then on the Wi-Fi box")
            << QStringLiteral("hotspot-box-first");
        QTest::newRow("window closed while the hotspot box is open, no click")
            << QStringLiteral("window-first");
    }
    void closingFromTheTicksMessageBoxesEndsCleanly()
    {
        QFETCH(QString, order);
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        useConfig("[UDP]\nPort=" + QByteArray::number(listener.localPort()) + "\n");
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startHarness(program, order);
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        // The program has ended: all it sent is here.
        QVERIFY(listener.hasPendingDatagrams() || listener.waitForReadyRead(10000));
        QCOMPARE(listener.receiveDatagram().data(), QByteArray("1000"));
        QVERIFY(!listener.hasPendingDatagrams());
    }

    // A start while an instance that told "1000" is still ending (and still handling events)
    // must not hand over to it, which would end the start unseen and unheard of by the data
    // source: it waits for that instance to end and runs in its place.
    void startWhileAnInstanceEndsRunsAfterIt()
    {
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        useConfig("[UDP]\nPort=" + QByteArray::number(listener.localPort()) + "\n");
        QProcess ending, next;
        ending.setProcessChannelMode(QProcess::ForwardedChannels);
        startHarness(ending, QStringLiteral("linger"));
        QVERIFY(listener.waitForReadyRead(30000));
        QCOMPARE(listener.receiveDatagram().data(), QByteArray("1000"));
        startHarness(next, QStringLiteral("hotspot-box-first"));
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT(
            (said += next.readAllStandardError()).contains("does not answer") ||
                next.state() == QProcess::NotRunning,
            30000);
        QVERIFY2(said.contains("does not answer"), said.constData());
        ending.write("\n");
        QVERIFY(ending.waitForFinished(30000));
        QVERIFY(next.waitForFinished(30000));
        QCOMPARE(ending.exitCode(), 0);
        QCOMPARE(next.exitCode(), 0);
        QVERIFY(listener.hasPendingDatagrams() || listener.waitForReadyRead(10000));
        QCOMPARE(listener.receiveDatagram().data(), QByteArray("1000"));
    }

private:
    // The harness keeps its single-instance lock in this run's folder.
    void startHarness(QProcess& program, const QString& order)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), dir.path());
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(CLOSE_HARNESS), {configFilePath(), order});
    }
};

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
