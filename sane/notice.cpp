#include "sane/notice.h"

#include "common/twainnotice.h"
#include "sane/debug.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace ostra {

namespace {

// No SO_REUSEADDR: on UDP it would let a second data source bind the same port beside this
// one, and the kernel would then hand each notification to one of them only. A closed UDP
// port has no lingering state, so the next scan binds at once without it.
int bindLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void drain(int fd)
{
    char bytes[64];
    while (fd >= 0 && ::read(fd, bytes, sizeof bytes) > 0) {
    }
}

// A wake that came while reset ran can leave its byte in the pipe without the flag: it is
// taken as the wake it is, where a wait would otherwise find the pipe ready on every poll.
void settle(WakeLine& wake, const pollfd& polled)
{
    if ((polled.revents & POLLIN) && !wake.woken())
        wake.wake();
}

bool isNotice(const char* payload, long size, const char* notice)
{
    return size == long(twain::kNoticeSize) && std::memcmp(payload, notice, size) == 0;
}

} // namespace

WakeLine::WakeLine()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_read = ends[0];
        m_write = ends[1];
    }
}

WakeLine::~WakeLine()
{
    if (m_read >= 0) {
        ::close(m_read);
        ::close(m_write);
    }
}

void WakeLine::wake()
{
    m_woken.store(true);
    if (m_write >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_write, &byte, 1);
    }
}

void WakeLine::reset()
{
    drain(m_read);
    m_woken.store(false);
}

NoticeListener::NoticeListener(WakeLine& wake, ReadPicture readPicture)
    : m_wake(wake), m_readPicture(std::move(readPicture))
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_readyRead = ends[0];
        m_readyWrite = ends[1];
    }
}

NoticeListener::~NoticeListener()
{
    if (m_thread.joinable())
        m_thread.join();
    if (m_socket >= 0)
        ::close(m_socket);
    if (m_readyRead >= 0) {
        ::close(m_readyRead);
        ::close(m_readyWrite);
    }
}

bool NoticeListener::listen(int port)
{
    if (m_readyRead < 0) {
        errno = EMFILE;
        return false;
    }
    m_socket = bindLoopback(port);
    if (m_socket < 0)
        return false;
    // The frontend's signals (scanimage's Ctrl-C handler) belong to its own threads: this one
    // starts with all of them blocked.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        m_thread = std::thread(&NoticeListener::run, this);
    } catch (const std::system_error& error) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::close(m_socket);
        m_socket = -1;
        errno = error.code().value();
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_setname_np(m_thread.native_handle(), "ostra-notices");
    return true;
}

void NoticeListener::run()
{
    while (!m_wake.woken()) {
        pollfd watched[2] = {{m_socket, POLLIN, 0}, {m_wake.readEnd(), POLLIN, 0}};
        const int ready = ::poll(watched, m_wake.valid() ? 2 : 1, m_wake.valid() ? -1 : 200);
        if (ready < 0 && errno != EINTR) {
            debug(1, "waiting for notifications failed: %s", std::strerror(errno));
            break;
        }
        settle(m_wake, watched[1]);
        if (ready <= 0 || !(watched[0].revents & POLLIN))
            continue;
        char payload[16];
        const ssize_t size = ::recv(m_socket, payload, sizeof payload, MSG_DONTWAIT);
        if (size >= 0)
            take(payload, long(size));
    }
    // The port is free as soon as the scan is cancelled, not only when the frontend's next
    // call reaps this thread.
    ::close(m_socket);
    m_socket = -1;
}

void NoticeListener::take(const char* payload, long size)
{
    Notice notice;
    notice.closing = isNotice(payload, size, twain::kProgramClosing);
    if (!notice.closing && !isNotice(payload, size, twain::kPictureSaved)) {
        debug(2, "ignored a datagram of %ld bytes that is no notification", size);
        return;
    }
    std::size_t waiting = 0;
    bool full = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // A "1000" stays last in the queue for the rest of the session (next leaves it there),
        // so nothing after it is read or queued, however many come.
        if (!m_waiting.empty() && m_waiting.back().closing) {
            debug(2, "a notification after \"1000\" ignored");
            return;
        }
        waiting = m_waiting.size();
        full = waiting >= kMaxWaitingNotices || m_waitingBytes >= kMaxWaitingBytes;
    }
    if (!notice.closing) {
        if (full) {
            debug(1, "a picture was saved while %zu wait to be scanned: not taken", waiting);
            return;
        }
        // Read now: the next save replaces the file, and this notice is for this picture.
        if (!m_readPicture(notice))
            notice.bytes.clear();
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waitingBytes + notice.bytes.size() > kMaxWaitingBytes) {
            debug(1, "a picture of %zu bytes does not fit beside those waiting: not taken",
                  notice.bytes.size());
            return;
        }
        m_waitingBytes += notice.bytes.size();
        debug(3, "notification %zu taken: %s, %zu bytes", m_waiting.size() + 1,
              notice.closing ? "\"1000\"" : "\"1001\"", notice.bytes.size());
        m_waiting.push_back(std::move(notice));
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_readyWrite, &byte, 1);
}

NoticeListener::Wait NoticeListener::next(std::chrono::steady_clock::time_point deadline,
                                          Notice& notice)
{
    for (;;) {
        // Drained before the queue is looked at: a notice queued after the look leaves a
        // fresh byte behind, so the wait below cannot miss it.
        drain(m_readyRead);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_waiting.empty()) {
                // A "1000" stays: every later frame of the session ends on it as well.
                if (m_waiting.front().closing) {
                    notice = m_waiting.front();
                    return Wait::Taken;
                }
                notice = std::move(m_waiting.front());
                m_waiting.pop_front();
                m_waitingBytes -= notice.bytes.size();
                return Wait::Taken;
            }
        }
        if (m_wake.woken())
            return Wait::Cancelled;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Wait::TimedOut;
        pollfd watched[2] = {{m_readyRead, POLLIN, 0}, {m_wake.readEnd(), POLLIN, 0}};
        const int ready = ::poll(watched, m_wake.valid() ? 2 : 1,
                                 int(std::min<long long>(left.count() + 1, 200)));
        if (ready < 0 && errno != EINTR) {
            debug(1, "waiting for a picture failed: %s", std::strerror(errno));
            return Wait::Failed;
        }
        settle(m_wake, watched[1]);
    }
}

} // namespace ostra
