#pragma once

// The socket seam: the TCP exchange with a scanner and the UDP bridge go through these
// calls only. Windows implements them on Windows Sockets 2, POSIX on BSD sockets; the
// call sequence the callers make is the same on both.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace net {

// Large enough for a SOCKET on Windows and a descriptor on POSIX.
using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Starts the sockets library for the calling thread (WSAStartup 2.2); always true on POSIX.
bool startup();
// Releases what startup() took; no-op on POSIX.
void cleanup();

// An IPv4 stream socket for TCP; kInvalidSocket when none could be created.
Socket openTcp();
// An IPv4 datagram socket for UDP; kInvalidSocket when none could be created.
Socket openUdp();
// Closes the socket; an invalid socket is ignored.
void closeSocket(Socket socket);

// Sets SO_SNDTIMEO; false when the option was refused (the error stays readable for
// reportLastError()).
bool setSendTimeout(Socket socket, int milliseconds);
// Sets SO_RCVTIMEO; false when the option was refused.
bool setReceiveTimeout(Socket socket, int milliseconds);

// Connects to a dotted-decimal IPv4 address (converted as inet_addr does) within
// timeoutMs; false when the address is refused, unreachable, the time ran out or *cancel
// was set meanwhile. The socket is blocking again afterwards.
bool connectIpv4(Socket socket, const char* address, int port, int timeoutMs,
                 const std::atomic<bool>* cancel = nullptr);

// Waits until the socket has data or an end to read; false when timeoutMs passed or
// *cancel was set first.
bool waitReadable(Socket socket, int timeoutMs, const std::atomic<bool>* cancel = nullptr);

// One send call; the bytes sent, or -1 on failure.
std::ptrdiff_t sendOnce(Socket socket, const void* data, std::size_t size);
// One receive call: bytes read, 0 when the peer closed, -1 on failure or time-out.
std::ptrdiff_t receiveOnce(Socket socket, void* buffer, std::size_t size);
// One datagram to a dotted-decimal IPv4 address; the bytes sent, or -1 on failure.
std::ptrdiff_t sendTo(Socket socket, const void* data, std::size_t size, const char* address,
                      int port);

// A TCP socket listening on 127.0.0.1 at a port the system chose, which goes to port;
// kInvalidSocket (port untouched) when none could be made.
Socket listenLoopback(int& port);
// The next connection a listening socket accepts, blocking until one comes;
// kInvalidSocket when the accept failed.
Socket acceptConnection(Socket listening);

// Writes "<what>: <system error text>" for the last failed call to standard error, as
// perror does.
void reportLastError(const char* what);

} // namespace net
