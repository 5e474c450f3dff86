// The bytes a scanner can send back, fed to DeviceRequest over a real loopback connection.
//
// Input: byte 0 chooses how the reply is cut into writes (0: one write; 1..127: that many
// bytes per write; 128..255: (b - 127) KiB per write; never more than kMaxWrites writes);
// the rest is the reply. A server thread accepts the exchange's connection, reads the
// 8-byte request, writes the reply and closes, so a reply cut short ends the exchange at
// once instead of after the receive time-out.
//
// Writes on loopback would merge in the receiver's queue before it reads, so the server
// waits after each write until the exchange has read what was written (or has returned).
// It learns that through net::receiveOnce, which the build wraps (--wrap) for this target
// only: the exchange itself is the unchanged library code.

#include "link/devicerequest.h"
#include "platform/socket.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" std::ptrdiff_t __real__ZN3net11receiveOnceElPvm(net::Socket socket, void* buffer,
                                                           std::size_t size);

namespace {

constexpr std::size_t kMaxWrites = 64;
// Long enough for any loopback delivery under the sanitizers; reaching it means the read
// accounting below has stopped seeing the exchange's reads.
constexpr auto kConsumeWait = std::chrono::seconds(10);

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_reply: %s\n", what);
    std::abort();
}

struct Round
{
    const unsigned char* reply = nullptr;
    std::size_t size = 0;
    std::size_t segment = 0; // 0: one write
    std::size_t consumed = 0;
    bool clientDone = false;
    bool serverDone = true;
    unsigned char request[kRequestSize] = {};
    std::size_t requestSize = 0;
};

std::mutex mutex;
std::condition_variable changed;
Round round;
std::thread::id serverThread;
net::Socket listening = net::kInvalidSocket;
int port = 0;

std::size_t segmentSize(unsigned char chooser)
{
    if (chooser == 0)
        return 0;
    if (chooser < 128)
        return chooser;
    return std::size_t(chooser - 127) * 1024;
}

bool sendAll(net::Socket socket, const unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        const std::ptrdiff_t n = net::sendOnce(socket, bytes, size);
        if (n <= 0)
            return false; // the exchange gave up and closed: nothing more to deliver
        bytes += n;
        size -= std::size_t(n);
    }
    return true;
}

void serveOne(net::Socket peer)
{
    Round snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        snapshot = round;
    }
    unsigned char request[kRequestSize];
    std::size_t got = 0;
    while (got < sizeof request) {
        const std::ptrdiff_t n = net::receiveOnce(peer, request + got, sizeof request - got);
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::memcpy(round.request, request, got);
        round.requestSize = got;
    }

    std::size_t sent = 0;
    std::size_t writes = 0;
    while (sent < snapshot.size) {
        std::size_t chunk = snapshot.size - sent;
        if (snapshot.segment != 0 && ++writes < kMaxWrites && snapshot.segment < chunk)
            chunk = snapshot.segment;
        if (!sendAll(peer, snapshot.reply + sent, chunk))
            break;
        sent += chunk;
        if (sent == snapshot.size)
            break;
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, kConsumeWait,
                              [&] { return round.clientDone || round.consumed >= sent; }))
            fail("the exchange neither read the reply nor returned");
        if (round.clientDone)
            break;
    }
    net::closeSocket(peer);
}

void serve()
{
    for (;;) {
        const net::Socket peer = net::acceptConnection(listening);
        if (peer == net::kInvalidSocket)
            fail("accept failed");
        serveOne(peer);
        std::lock_guard<std::mutex> lock(mutex);
        round.serverDone = true;
        changed.notify_all();
    }
}

std::int32_t int32At(const unsigned char* bytes)
{
    const std::uint32_t value = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
                                std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24;
    std::int32_t result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

// Aborts unless the exchange's outcome is what a peer sending `reply` can lead to.
void checkOutcome(const unsigned char* reply, std::size_t size, int result, const ByteVector& data,
                  const ByteVector& before, std::uint32_t extraBits, std::uint32_t extraBefore)
{
    if (data.size() > kMaxPayloadBytes)
        fail("payload larger than the cap");
    const bool haveCode = size >= 4;
    const int code = haveCode ? int32At(reply) : 0;
    if (result != DEVICE_RECV_ERROR && result != DEVICE_RECV_IMAGE_ERROR &&
        !(haveCode && result == code))
        fail("result is neither a failure code nor the reply code sent");
    if (!haveCode && result != DEVICE_RECV_ERROR)
        fail("a reply without a whole code did not give DEVICE_RECV_ERROR");

    const bool image = haveCode && (code == REPLY_IMAGE || code == REPLY_IMAGE_EXT);
    if (!image) {
        if (data != before || extraBits != extraBefore)
            fail("data or extra written for a reply that is no picture");
        return;
    }
    const std::size_t header = code == REPLY_IMAGE ? kImageHeaderSize : kImageExtHeaderSize;
    if (code == REPLY_IMAGE && extraBits != extraBefore)
        fail("extra written for reply 19");
    if (size < header) {
        if (result != DEVICE_RECV_IMAGE_ERROR || data != before || extraBits != extraBefore)
            fail("a cut image header was not refused untouched");
        return;
    }
    if (code == REPLY_IMAGE_EXT && std::memcmp(&extraBits, reply + 8, 4) != 0)
        fail("extra is not the float sent");
    std::int64_t announced = int32At(reply + 4);
    if (code == REPLY_IMAGE_EXT)
        announced -= kImageExtLengthBias;
    if (announced < 0 || std::uint64_t(announced) > kMaxPayloadBytes) {
        if (result != DEVICE_RECV_IMAGE_ERROR || data != before)
            fail("an impossible length was not refused untouched");
        return;
    }
    if (data.size() != std::size_t(announced))
        fail("data is not sized to the announced length");
    if (result == code) {
        if (size - header < data.size())
            fail("a picture was accepted before all of it arrived");
        if (!data.empty() && std::memcmp(data.data(), reply + header, data.size()) != 0)
            fail("the picture is not the bytes sent");
    } else if (size - header == data.size()) {
        // The whole picture and nothing beyond it went out; only a failure code is wrong.
        fail("an exact picture was refused");
    }
}

} // namespace

extern "C" std::ptrdiff_t __wrap__ZN3net11receiveOnceElPvm(net::Socket socket, void* buffer,
                                                           std::size_t size)
{
    const std::ptrdiff_t n = __real__ZN3net11receiveOnceElPvm(socket, buffer, size);
    if (n > 0 && std::this_thread::get_id() != serverThread) {
        std::lock_guard<std::mutex> lock(mutex);
        round.consumed += std::size_t(n);
        changed.notify_all();
    }
    return n;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!net::startup())
        fail("sockets did not start");
    listening = net::listenLoopback(port);
    if (listening == net::kInvalidSocket)
        fail("no loopback listener");
    std::thread server(serve);
    serverThread = server.get_id();
    server.detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned char* reply = bytes + 1;
    const std::size_t replySize = size - 1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        round = Round();
        round.reply = reply;
        round.size = replySize;
        round.segment = segmentSize(bytes[0]);
        round.serverDone = false;
    }

    const ByteVector before{0xde, 0xad};
    ByteVector data = before;
    const float sentinel = -12345.5f;
    float extra = sentinel;
    const int result = DeviceRequest("127.0.0.1", port, REQUEST_POLL, data, extra);

    {
        std::unique_lock<std::mutex> lock(mutex);
        round.clientDone = true;
        changed.notify_all();
        if (!changed.wait_for(lock, kConsumeWait, [] { return round.serverDone; }))
            fail("the server did not finish the exchange");
        if (result == DEVICE_CONNECT_ERROR && (replySize < 4 || int32At(reply) != result))
            fail("no connection to the loopback server");
        const unsigned char expected[kRequestSize] = {REQUEST_POLL};
        if (round.requestSize != kRequestSize ||
            std::memcmp(round.request, expected, kRequestSize) != 0)
            fail("the request is not the 8-byte poll");
    }

    std::uint32_t extraBits;
    std::uint32_t sentinelBits;
    std::memcpy(&extraBits, &extra, 4);
    std::memcpy(&sentinelBits, &sentinel, 4);
    checkOutcome(reply, replySize, result, data, before, extraBits, sentinelBits);
    return 0;
}
