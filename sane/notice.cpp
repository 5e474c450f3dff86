#include "sane/notice.h"

#include "common/twainnotice.h"
#include "sane/debug.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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
    char drain[64];
    while (m_read >= 0 && ::read(m_read, drain, sizeof drain) > 0) {
    }
    m_woken.store(false);
}

Notice waitForNotice(int port, int seconds, WakeLine& wake)
{
    const int fd = bindLoopback(port);
    if (fd < 0) {
        const bool inUse = errno == EADDRINUSE;
        debug(1, "cannot listen on 127.0.0.1:%d: %s", port, std::strerror(errno));
        return inUse ? Notice::PortInUse : Notice::Failed;
    }
    debug(3, "waiting up to %d s for a picture on 127.0.0.1:%d", seconds, port);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Notice notice = Notice::TimedOut;
    while (!wake.woken()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake.readEnd(), POLLIN, 0}};
        const int ready = ::poll(watched, wake.valid() ? 2 : 1, int(left.count()));
        if (ready < 0 && errno != EINTR) {
            debug(1, "waiting on 127.0.0.1:%d failed: %s", port, std::strerror(errno));
            notice = Notice::Failed;
            break;
        }
        if (ready <= 0 || !(watched[0].revents & POLLIN))
            continue;
        char payload[16];
        const ssize_t size = ::recv(fd, payload, sizeof payload, MSG_DONTWAIT);
        if (size == ssize_t(twain::kNoticeSize) &&
            std::memcmp(payload, twain::kPictureSaved, twain::kNoticeSize) == 0) {
            notice = Notice::PictureSaved;
            break;
        }
        if (size == ssize_t(twain::kNoticeSize) &&
            std::memcmp(payload, twain::kProgramClosing, twain::kNoticeSize) == 0) {
            notice = Notice::ProgramClosing;
            break;
        }
        if (size >= 0)
            debug(2, "ignored a datagram of %zd bytes that is no notification", size);
    }
    ::close(fd);
    if (wake.woken())
        notice = Notice::Cancelled;
    return notice;
}

} // namespace ostra
