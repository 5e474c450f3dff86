#include "link/costra.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QtTest>

Q_DECLARE_METATYPE(ScannerReply)

class TestCOstra final : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScannerSimulator> sim;
    std::unique_ptr<COstra> link;
    std::atomic<bool> pictureQueued{false};
    int threadsBefore = 0;

    void startLink(const QList<ScannerReply>& script)
    {
        sim->setScript(script);
        link = std::make_unique<COstra>();
        link->onPictureQueued = [this] { pictureQueued = true; };
        link->Init(QStringLiteral("127.0.0.1"), sim->port());
    }

private slots:
    void init()
    {
        threadsBefore = threadCount();
        sim = std::make_unique<ScannerSimulator>();
        QVERIFY(sim->start());
    }
    // Every test ends by stopping its link, mid-exchange or with a record waiting: it ends well
    // inside the receive time-out an unbroken exchange waits out, queuing nothing.
    void cleanup()
    {
        QVERIFY(link); // else init failed
        link->stop();
        QTRY_VERIFY_WITH_TIMEOUT(link->finished(), kReceiveTimeoutMs / 2);
        OstraInfo record;
        QVERIFY(!link->GetInfo(record));
        link.reset();
        QTRY_COMPARE(threadCount(), threadsBefore + 1); // the simulator's listener
        sim.reset();
    }

    // The link polls only once its record is taken (a poll while a record waits would come within
    // one 10 ms loop); a picture comes out only through TakePicture, a status only through
    // GetInfo; the extra of the last extended picture stays with the records after it.
    void recordsCarryWhatTheScannerSent()
    {
        const QByteArray a(3000, 'a'), b(10, 'b'), c(7, 'c');
        sim->setDefaultReply(ScannerReply::image(c));
        startLink({ScannerReply::status(REPLY_STATE_LIT), ScannerReply::image(a),
                   ScannerReply::status(0), ScannerReply::imageExt(b, 0.5f),
                   ScannerReply::status(-5), ScannerReply::image(c), ScannerReply::closeAtOnce()});
        const QVector<std::tuple<int, QByteArray, float>> expected = {
            {REPLY_STATE_LIT, {}, 0.02f},       {REPLY_IMAGE, a, 0.02f},
            {DEVICE_DATA_RECV_FAIL, {}, 0.02f}, {REPLY_IMAGE_EXT, b, 0.5f},
            {DEVICE_DATA_RECV_FAIL, {}, 0.5f},  {REPLY_IMAGE, c, 0.5f},
            {DEVICE_RECV_ERROR, {}, 0.5f},      {REPLY_IMAGE, c, 0.5f}};
        QVERIFY(sim->waitForRequests(1, 5000));
        QVERIFY(!sim->waitForRequests(2, 500));
        for (const auto& [status, data, extra] : expected) {
            const bool picture = status == REPLY_IMAGE || status == REPLY_IMAGE_EXT;
            bool taken = false;
            OstraInfo r;
            QVERIFY(QTest::qWaitFor(
                [&] { return (taken = link->TakePicture(r)) || (!picture && link->GetInfo(r)); }));
            QCOMPARE(taken, picture);
            QCOMPARE(std::pair(r.ip, r.port), std::pair(link->ip, int(sim->port())));
            QCOMPARE(r.status, status);
            QCOMPARE(r.data, ByteVector(data.begin(), data.end()));
            QCOMPARE(r.extra, extra);
        }
        pictureQueued = false;
        QTRY_VERIFY(pictureQueued); // the next picture waits for cleanup
    }

    void sendCmd_data()
    {
        QTest::addColumn<ScannerReply>("reply");
        QTest::addColumn<bool>("answered");
        QTest::newRow("a status is an answer") << ScannerReply::status(REPLY_STATE_DIM) << true;
        QTest::newRow("a picture is an answer") << ScannerReply::imageExt("x", 1) << true;
        QTest::newRow("a zero code is no answer") << ScannerReply::status(0) << false;
        QTest::newRow("a closed connection is no answer") << ScannerReply::closeAtOnce() << false;
    }
    // The command goes out on its own connection while the poller waits on a silent scanner.
    void sendCmd()
    {
        QFETCH(ScannerReply, reply);
        QFETCH(bool, answered);
        sim->setCommandReply(reply);
        startLink({ScannerReply::neverAnswer()});
        QVERIFY(sim->waitForRequests(1, 5000));
        QCOMPARE(link->SendCmd(REQUEST_COMMAND), answered);
        QCOMPARE(sim->requests().size(), 2);
        QCOMPARE(sim->requests().at(1).code, REQUEST_COMMAND);
        OstraInfo record;
        QVERIFY(!link->GetInfo(record));
    }
};

QTEST_GUILESS_MAIN(TestCOstra)
#include "tst_costra.moc"
