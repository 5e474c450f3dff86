#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace net {

namespace {

int fd(Socket socket)
{
    return static_cast<int>(socket);
}

bool setTimeout(Socket socket, int option, int milliseconds)
{
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return ::setsockopt(fd(socket), SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

bool ipv4Address(const char* address, int port, sockaddr_in& out)
{
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(port));
    out.sin_addr.s_addr = ::inet_addr(address);
    return out.sin_addr.s_addr != INADDR_NONE;
}

// Short slices so that a cancel request is noticed within a few tens of milliseconds.
constexpr int kSliceMs = 50;

// poll() in slices until the socket is ready for `events`: 1 ready, 0 time-out or
// cancelled, -1 failure.
int waitFor(int socket, short events, int timeoutMs, const std::atomic<bool>* cancel)
{
    int left = timeoutMs;
    while (left > 0) {
        if (cancel && cancel->load())
            return 0;
        const int slice = left < kSliceMs ? left : kSliceMs;
        pollfd p{socket, events, 0};
        const int rc = ::poll(&p, 1, slice);
        if (rc > 0)
            return 1;
        if (rc < 0 && errno != EINTR)
            return -1;
        if (rc == 0)
            left -= slice;
    }
    errno = ETIMEDOUT;
    return 0;
}

bool setBlocking(int socket, bool blocking)
{
    const int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags < 0)
        return false;
    return ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

} // namespace

bool startup()
{
    return true;
}

void cleanup() {}

Socket openTcp()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return s < 0 ? kInvalidSocket : s;
}

Socket openUdp()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return s < 0 ? kInvalidSocket : s;
}

void closeSocket(Socket socket)
{
    if (socket != kInvalidSocket)
        ::close(fd(socket));
}

bool setSendTimeout(Socket socket, int milliseconds)
{
    return setTimeout(socket, SO_SNDTIMEO, milliseconds);
}

bool setReceiveTimeout(Socket socket, int milliseconds)
{
    return setTimeout(socket, SO_RCVTIMEO, milliseconds);
}

bool connectIpv4(Socket socket, const char* address, int port, int timeoutMs,
                 const std::atomic<bool>* cancel)
{
    sockaddr_in peer;
    if (socket == kInvalidSocket || !ipv4Address(address, port, peer))
        return false;
    // A blocking connect to an absent host would wait for the kernel's SYN retries, about
    // two minutes; the exchange may run on the GUI thread, so the wait is bounded here.
    const int s = fd(socket);
    if (!setBlocking(s, false))
        return false;
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (rc != 0 && errno == EINPROGRESS) {
        rc = waitFor(s, POLLOUT, timeoutMs, cancel);
        if (rc > 0) {
            int error = 0;
            socklen_t length = sizeof error;
            rc = ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 ? 0 : -1;
            if (error != 0)
                errno = error;
        } else {
            rc = -1;
        }
    }
    const bool connected = rc == 0;
    return setBlocking(s, true) && connected;
}

bool waitReadable(Socket socket, int timeoutMs, const std::atomic<bool>* cancel)
{
    return waitFor(fd(socket), POLLIN, timeoutMs, cancel) > 0;
}

std::ptrdiff_t sendOnce(Socket socket, const void* data, std::size_t size)
{
    // A peer that has closed must not kill the process with SIGPIPE.
    return ::send(fd(socket), data, size, MSG_NOSIGNAL);
}

std::ptrdiff_t receiveOnce(Socket socket, void* buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::recv(fd(socket), buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

std::ptrdiff_t sendTo(Socket socket, const void* data, std::size_t size, const char* address,
                      int port)
{
    sockaddr_in peer;
    if (!ipv4Address(address, port, peer))
        return -1;
    return ::sendto(fd(socket), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer),
                    sizeof peer);
}

Socket listenLoopback(int& port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0)
        return kInvalidSocket;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = 0;
    socklen_t length = sizeof local;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(s, SOMAXCONN) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        ::close(s);
        errno = error;
        return kInvalidSocket;
    }
    port = ntohs(local.sin_port);
    return s;
}

Socket acceptConnection(Socket listening)
{
    int s;
    do {
        s = ::accept4(fd(listening), nullptr, nullptr, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    return s < 0 ? kInvalidSocket : s;
}

void reportLastError(const char* what)
{
    std::perror(what);
}

} // namespace net
