#include "link/costra.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

namespace {

QByteArray picture(char fill, int size = 3000)
{
    return QByteArray(size, fill);
}

QByteArray asBytes(const ByteVector& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size()));
}

// Waits, keeping nothing else busy, until the link has a record.
bool take(COstra& link, OstraInfo& out, int timeoutMs = 8000)
{
    QElapsedTimer clock;
    clock.start();
    while (!link.GetInfo(out)) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(2);
    }
    return true;
}

} // namespace

class TestCOstra final : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ScannerSimulator> sim;

    std::unique_ptr<COstra> startLink()
    {
        auto link = std::make_unique<COstra>();
        link->Init(QStringLiteral("127.0.0.1"), sim->port());
        return link;
    }

private slots:
    void init()
    {
        sim = std::make_unique<ScannerSimulator>();
        QVERIFY(sim->start());
    }
    void cleanup() { sim.reset(); }

    void freshLinkIsIdle()
    {
        COstra link;
        QVERIFY(link.ip.isEmpty());
        QCOMPARE(link.port, 0);
        QVERIFY(!link.running);
        OstraInfo out;
        out.status = 99;
        out.ip = QStringLiteral("kept");
        QVERIFY(!link.GetInfo(out));
        QCOMPARE(out.status, 99);
        QCOMPARE(out.ip, QStringLiteral("kept"));
        OstraInfo fresh;
        QCOMPARE(fresh.extra, 0.02f);
    }

    void recordsArriveInOrderAndCarryTheExtra()
    {
        sim->setScript({ScannerReply::status(REPLY_STATE_LIT), ScannerReply::image(picture('a')),
                        ScannerReply::status(0), ScannerReply::imageExt(picture('b', 10), 0.5f),
                        ScannerReply::status(-5), ScannerReply::image(picture('c', 7)),
                        ScannerReply::closeAtOnce()});
        sim->setDefaultReply(ScannerReply::status(REPLY_STATE_DIM));
        auto link = startLink();

        struct Expected
        {
            int status;
            QByteArray data;
            float extra;
        };
        const QVector<Expected> expected = {
            {REPLY_STATE_LIT, {}, 0.02f},       {REPLY_IMAGE, picture('a'), 0.02f},
            {DEVICE_DATA_RECV_FAIL, {}, 0.02f}, {REPLY_IMAGE_EXT, picture('b', 10), 0.5f},
            {DEVICE_DATA_RECV_FAIL, {}, 0.5f},  {REPLY_IMAGE, picture('c', 7), 0.5f},
            {DEVICE_RECV_ERROR, {}, 0.5f},      {REPLY_STATE_DIM, {}, 0.5f},
        };
        for (const Expected& e : expected) {
            OstraInfo record;
            QVERIFY(take(*link, record));
            QCOMPARE(record.ip, QStringLiteral("127.0.0.1"));
            QCOMPARE(record.port, int(sim->port()));
            QCOMPARE(record.status, e.status);
            QCOMPARE(asBytes(record.data), e.data);
            QCOMPARE(record.extra, e.extra);
        }
    }

    void pollsOnlyWhenTheQueueIsEmpty()
    {
        auto link = startLink();
        QVERIFY(sim->waitForRequests(1, 5000));
        // The record waits: nothing more may be asked of the scanner.
        QTest::qWait(400);
        QCOMPARE(sim->requests().size(), 1);

        OstraInfo record;
        QVERIFY(link->GetInfo(record));
        const qint64 takenAt = sim->elapsedMs();
        QVERIFY(sim->waitForRequests(2, 5000));
        const qint64 delay = sim->requests().at(1).atMs - takenAt;
        qInfo("next poll %lld ms after the take", delay);
        QVERIFY2(delay < 500, qPrintable(QString::number(delay)));
        QCOMPARE(sim->requests().at(1).code, REQUEST_POLL);
    }

    // The command goes out on its own connection while the poller waits on a silent scanner.
    void commandRunsBesideThePoller()
    {
        sim->setScript({ScannerReply::neverAnswer()});
        sim->setCommandReply(ScannerReply::status(REPLY_STATE_ANIMATED));
        auto link = startLink();
        QVERIFY(sim->waitForRequests(1, 5000));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(link->SendCmd(REQUEST_COMMAND));
        QVERIFY(clock.elapsed() < kReceiveTimeoutMs);
        const auto requests = sim->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(1).code, REQUEST_COMMAND);
        OstraInfo record;
        QVERIFY(!link->GetInfo(record));

        sim->setCommandReply(ScannerReply::status(0));
        QVERIFY(!link->SendCmd(REQUEST_COMMAND));
        // Failures are positive codes too; they are not an answer.
        sim->setCommandReply(ScannerReply::closeAtOnce());
        QVERIFY(!link->SendCmd(REQUEST_COMMAND));
    }

    void stoppedLinkEndsPromptlyAndDeliversNothing()
    {
        const int threadsBefore = threadCount();
        sim->setScript({ScannerReply::neverAnswer()});
        auto link = startLink();
        QVERIFY(sim->waitForRequests(1, 5000));
        QCOMPARE(threadCount(), threadsBefore + 1 + sim->openConnections());

        QElapsedTimer clock;
        clock.start();
        link->stop();
        QTRY_VERIFY_WITH_TIMEOUT(link->finished(), 2000);
        qInfo("stopped mid-exchange in %lld ms", clock.elapsed());
        OstraInfo record;
        QVERIFY(!link->GetInfo(record));
        link.reset();
        QTRY_COMPARE(sim->openConnections(), 0);
        QCOMPARE(threadCount(), threadsBefore);
    }

    void stoppingDropsAWaitingRecord()
    {
        auto link = startLink();
        QVERIFY(sim->waitForRequests(1, 5000));
        QTest::qWait(100);
        link->stop();
        OstraInfo record;
        QVERIFY(!link->GetInfo(record));
        QTRY_VERIFY(link->finished());
    }
};

QTEST_GUILESS_MAIN(TestCOstra)
#include "tst_costra.moc"
