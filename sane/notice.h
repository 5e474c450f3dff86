#pragma once

#include <atomic>

namespace ostra {

// What ended the wait for the acquisition program's next notification.
enum class Notice
{
    PictureSaved,   // "1001": a new picture is in the configured file
    ProgramClosing, // "1000": the acquisition program is closing; nothing more will come
    TimedOut,
    Cancelled,
    PortInUse, // another data source (or scan) holds the port
    Failed,
};

// The wake-up line of one open device: sane_cancel writes a byte to it, from any thread or
// from a signal handler, and the wait returns at once.
class WakeLine final
{
public:
    WakeLine();
    ~WakeLine();
    WakeLine(const WakeLine&) = delete;
    WakeLine& operator=(const WakeLine&) = delete;

    // False when the pipe could not be made; the wait then still ends on signals and time.
    bool valid() const { return m_read >= 0; }
    // Async-signal-safe: one atomic store and one write.
    void wake();
    // Forgets earlier wake-ups, before a new wait.
    void reset();
    bool woken() const { return m_woken.load(); }
    int readEnd() const { return m_read; }

private:
    int m_read = -1;
    int m_write = -1;
    std::atomic<bool> m_woken{false};
};

// Binds 127.0.0.1:port (only for the length of this call, so that a notification sent
// while no scan waits is never taken as a new one) and waits at most seconds for "1001" or
// "1000"; other datagrams are ignored. The port is free again when this returns.
Notice waitForNotice(int port, int seconds, WakeLine& wake);

} // namespace ostra
