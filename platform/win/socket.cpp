#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <windows.h>

namespace net {

namespace {

SOCKET handle(Socket socket)
{
    return static_cast<SOCKET>(socket);
}

bool setTimeout(Socket socket, int option, int milliseconds)
{
    // Windows takes the time-out as a 4-byte millisecond count, not a timeval.
    const DWORD value = static_cast<DWORD>(milliseconds);
    return ::setsockopt(handle(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0;
}

bool ipv4Address(const char* address, int port, sockaddr_in& out)
{
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<u_short>(port));
    out.sin_addr.s_addr = ::inet_addr(address);
    return out.sin_addr.s_addr != INADDR_NONE;
}

constexpr int kSliceMs = 50;

// select() in slices until the socket is ready: 1 ready, 0 time-out or cancelled,
// -1 failure. A failed connect shows in the exception set.
int waitFor(SOCKET socket, bool forWrite, int timeoutMs, const std::atomic<bool>* cancel)
{
    int left = timeoutMs;
    while (left > 0) {
        if (cancel && cancel->load())
            return 0;
        const int slice = left < kSliceMs ? left : kSliceMs;
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval tv{};
        tv.tv_usec = slice * 1000;
        const int rc =
            ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
        if (rc == SOCKET_ERROR || FD_ISSET(socket, &failed))
            return -1;
        if (rc > 0)
            return 1;
        left -= slice;
    }
    ::WSASetLastError(WSAETIMEDOUT);
    return 0;
}

bool setBlocking(SOCKET socket, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

int clampLength(std::size_t size)
{
    return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

} // namespace

bool startup()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void cleanup()
{
    ::WSACleanup();
}

Socket openTcp()
{
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

Socket openUdp()
{
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

void closeSocket(Socket socket)
{
    if (socket != kInvalidSocket)
        ::closesocket(handle(socket));
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
    // Bounded like the send and receive time-outs rather than the system's ~21 s.
    const SOCKET s = handle(socket);
    if (!setBlocking(s, false))
        return false;
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (rc == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK)
        rc = waitFor(s, true, timeoutMs, cancel) > 0 ? 0 : SOCKET_ERROR;
    const bool connected = rc == 0;
    return setBlocking(s, true) && connected;
}

bool waitReadable(Socket socket, int timeoutMs, const std::atomic<bool>* cancel)
{
    return waitFor(handle(socket), false, timeoutMs, cancel) > 0;
}

std::ptrdiff_t sendOnce(Socket socket, const void* data, std::size_t size)
{
    const int n = ::send(handle(socket), static_cast<const char*>(data), clampLength(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

std::ptrdiff_t receiveOnce(Socket socket, void* buffer, std::size_t size)
{
    const int n = ::recv(handle(socket), static_cast<char*>(buffer), clampLength(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

std::ptrdiff_t sendTo(Socket socket, const void* data, std::size_t size, const char* address,
                      int port)
{
    sockaddr_in peer;
    if (!ipv4Address(address, port, peer))
        return -1;
    const int n = ::sendto(handle(socket), static_cast<const char*>(data), clampLength(size), 0,
                           reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    return n == SOCKET_ERROR ? -1 : n;
}

Socket listenLoopback(int& port)
{
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = 0;
    int length = sizeof local;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(s, SOMAXCONN) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(error);
        return kInvalidSocket;
    }
    port = ntohs(local.sin_port);
    return static_cast<Socket>(s);
}

Socket acceptConnection(Socket listening)
{
    const SOCKET s = ::accept(handle(listening), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

void reportLastError(const char* what)
{
    // perror reads errno, which Windows Sockets does not set: translate its own code.
    const int code = ::WSAGetLastError();
    char text[512] = {0};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    for (std::size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n');)
        text[--n] = '\0';
    std::fprintf(stderr, "%s: %s\n", what, text);
}

} // namespace net
