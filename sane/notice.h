#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostra {

// The wake-up line of one open device: sane_cancel writes a byte to it, from any thread or
// from a signal handler, and every wait on it returns at once. The byte stays in the pipe
// until reset, so the listener's wait and the scan's wait both see it.
class WakeLine final
{
public:
    WakeLine();
    ~WakeLine();
    WakeLine(const WakeLine&) = delete;
    WakeLine& operator=(const WakeLine&) = delete;

    // False when the pipe could not be made; waits then still end on time.
    bool valid() const { return m_read >= 0; }
    // Async-signal-safe: one atomic store and one write.
    void wake();
    // Forgets earlier wake-ups, before a new session; nothing may wait on the line then. A
    // wake while it runs is forgotten, or kept: the waits take a byte left behind as a wake.
    void reset();
    bool woken() const { return m_woken.load(); }
    int readEnd() const { return m_read; }

private:
    int m_read = -1;
    int m_write = -1;
    std::atomic<bool> m_woken{false};
};

// One notification of the acquisition program, as the listener took it.
struct Notice
{
    bool closing = false;             // "1000"; otherwise "1001"
    std::string path;                 // "1001": the picture file
    std::vector<unsigned char> bytes; // "1001": the file as it was when the notice came
    std::string error;                // "1001": why the file could not be taken (bytes empty)
};

// At most this many "1001" wait between frames (a "1000" after them still queues), and at
// most kMaxWaitingBytes of pictures in them; a "1001" beyond either is not taken (and said
// so at level 1).
constexpr std::size_t kMaxWaitingNotices = 8;
constexpr std::size_t kMaxWaitingBytes = 256u * 1024u * 1024u;

// Holds 127.0.0.1:port for one scan session, from its first sane_start to sane_cancel, and
// on its own thread takes every "1001" (reading the picture file at once, through
// readPicture) and "1000" into a bounded queue; other datagrams, and all that comes after
// a "1000", are ignored. The thread ends, and the port is free, as soon as the wake line
// is woken.
class NoticeListener final
{
public:
    // Reads the configured picture file into notice's path and bytes; false with the reason
    // in its error.
    using ReadPicture = std::function<bool(Notice& notice)>;

    NoticeListener(WakeLine& wake, ReadPicture readPicture);
    // Joins the thread; the caller has woken the line first.
    ~NoticeListener();
    NoticeListener(const NoticeListener&) = delete;
    NoticeListener& operator=(const NoticeListener&) = delete;

    // Binds 127.0.0.1:port and starts taking notifications; false, with errno set, when the
    // port cannot be bound (EADDRINUSE: another data source or scan holds it).
    bool listen(int port);

    enum class Wait
    {
        Taken,
        TimedOut,
        Cancelled,
        Failed, // the wait itself failed
    };
    // The oldest waiting notification into notice, waiting for one until the deadline. A
    // "1000" is never taken out: every later call returns it again at once.
    Wait next(std::chrono::steady_clock::time_point deadline, Notice& notice);

private:
    void run();
    void take(const char* payload, long size);

    WakeLine& m_wake;
    ReadPicture m_readPicture;
    int m_socket = -1;
    int m_readyRead = -1; // a byte per queued notification, for the scan's wait
    int m_readyWrite = -1;
    std::thread m_thread;
    std::mutex m_mutex; // guards the fields below
    std::deque<Notice> m_waiting;
    std::size_t m_waitingBytes = 0;
};

} // namespace ostra
