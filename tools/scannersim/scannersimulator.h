#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

// One reply as the simulated scanner sends it: the bytes on the wire and how they are
// delivered. The factory functions build the well-formed replies and every misbehaviour
// a real peer could show.
struct ScannerReply
{
    enum class End
    {
        Close, // close the connection once the bytes are out
        Hold,  // keep the connection open and silent until the client gives up
    };

    QByteArray bytes;       // everything the reply would send
    int sendLimit = -1;     // send only this many of bytes (-1: all)
    int segmentBytes = 0;   // bytes per write; 0 sends in one write
    int segmentDelayMs = 0; // pause between segments
    End end = End::Close;
    QString label;             // for logs
    bool wholePicture = false; // a well-formed image reply, sent in full

    // A status reply: the 4-byte code, then trailing bytes in the same write.
    static ScannerReply status(int code, const QByteArray& trailing = {});
    // An image reply with code 19.
    static ScannerReply image(const QByteArray& payload);
    // An image reply with code 20, its float and 96 filler bytes.
    static ScannerReply imageExt(const QByteArray& payload, float extra);
    // A code-19 header announcing `announced` bytes, followed by `payload`.
    static ScannerReply imageAnnouncing(qint32 announced, const QByteArray& payload = {});
    // A code-20 header with length field `lengthField`, followed by `payload`.
    static ScannerReply imageExtAnnouncing(qint32 lengthField, float extra,
                                           const QByteArray& payload = {});

    // Misbehaviours.
    static ScannerReply closeAtOnce();
    static ScannerReply neverAnswer();
    // The header and half the payload, then silence.
    static ScannerReply stallMidPayload(const QByteArray& payload);
    // The first `bytes` bytes of an image header, then close (or hold).
    static ScannerReply shortHeader(int code, int bytes, End end = End::Close);
    // A code-19 reply that sends `surplus` bytes more than it announces.
    static ScannerReply overrun(const QByteArray& payload, int surplus);
    // A code-19 reply whose payload is no picture at all.
    static ScannerReply notAPicture(int size, quint32 seed = 1);
    // The same reply cut into `bytes`-byte writes, `delayMs` apart.
    ScannerReply inSegments(int bytes, int delayMs = 0) const;
};

// A scanner on a TCP address and port: one connection per exchange, the 8-byte request
// in, one reply out. Replies to polls come from a script (then the default reply); every
// other request code gets the command reply. Runs on threads of its own, so it serves
// tests on the caller's thread and several connections at once.
class ScannerSimulator final
{
public:
    struct Request
    {
        int code = -1;     // byte 0 of the request; -1 when none arrived
        qint64 atMs = 0;   // since start()
        QString reply;     // label of the reply given
        qint64 sentAt = 0; // when the reply's last byte went out, ms since the epoch; 0 before
    };

    ScannerSimulator();
    ~ScannerSimulator();
    ScannerSimulator(const ScannerSimulator&) = delete;
    ScannerSimulator& operator=(const ScannerSimulator&) = delete;

    // Listens on address:port (port 0 picks a free one); false when the address is taken.
    bool start(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    // Stops accepting, ends every open connection and joins every thread.
    void stop();
    quint16 port() const { return m_port; }

    // Poll replies, taken in order; when repeat is set the script cycles for ever.
    void setScript(const QList<ScannerReply>& replies, bool repeat = false);
    void setDefaultReply(const ScannerReply& reply);
    void setCommandReply(const ScannerReply& reply);

    QVector<Request> requests() const;
    // Milliseconds since start(), on the clock of Request::atMs.
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    // Blocks until at least `count` requests have arrived or timeoutMs passed.
    bool waitForRequests(int count, int timeoutMs) const;
    // Image replies whose every byte went out.
    int deliveredPictures() const { return m_delivered.load(); }
    // Connections that are open right now.
    int openConnections() const { return m_open.load(); }

private:
    void acceptLoop(QHostAddress address, quint16 port, std::promise<quint16>* listening);
    void serve(qintptr descriptor);
    ScannerReply replyFor(int code);
    void reapFinished();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::deque<ScannerReply> m_script;
    QList<ScannerReply> m_scriptCycle;
    bool m_repeat = false;
    size_t m_cyclePos = 0;
    ScannerReply m_defaultReply;
    ScannerReply m_commandReply;
    QVector<Request> m_requests;
    QElapsedTimer m_clock;

    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_open{0};
    std::atomic<int> m_delivered{0};
    quint16 m_port = 0;
    std::thread m_acceptor;
    struct Worker
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Worker> m_workers; // guarded by m_mutex
};
