#include "link/devicerequest.h"

#include "platform/socket.h"

#include <cstdint>
#include <cstring>

namespace {

class SocketGuard final
{
public:
    explicit SocketGuard(net::Socket socket) : m_socket(socket) {}
    ~SocketGuard() { net::closeSocket(m_socket); }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

    net::Socket get() const { return m_socket; }

private:
    net::Socket m_socket;
};

std::int32_t readInt32(const unsigned char* bytes)
{
    const std::uint32_t value = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
                                std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24;
    std::int32_t result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

float readFloat32(const unsigned char* bytes)
{
    const std::int32_t bits = readInt32(bytes);
    float result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

// One read under the receive time-out. The wait is made in slices so that a link being
// stopped does not sit out the whole time-out; the socket option stays as the backstop.
std::ptrdiff_t receive(net::Socket socket, void* buffer, std::size_t size,
                       const std::atomic<bool>* abandon)
{
    if (!net::waitReadable(socket, kReceiveTimeoutMs, abandon))
        return -1;
    return net::receiveOnce(socket, buffer, size);
}

// Reads until buffer holds at least `needed` bytes; a header split over several segments
// is legal TCP, and a header never completed must not be read past what arrived.
bool fillTo(net::Socket socket, unsigned char* buffer, std::size_t& filled, std::size_t needed,
            const std::atomic<bool>* abandon)
{
    while (filled < needed) {
        const std::ptrdiff_t n = receive(socket, buffer + filled, kReadSize - filled, abandon);
        if (n <= 0)
            return false;
        filled += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads the rest of a payload of which `received` bytes are in place.
bool receivePayload(net::Socket socket, unsigned char* buffer, ByteVector& data,
                    std::size_t received, const std::atomic<bool>* abandon)
{
    const std::size_t expected = data.size();
    while (received < expected) {
        const std::size_t remaining = expected - received;
        if (remaining > kReadSize) {
            // A read of kReadSize cannot overrun here, so it goes straight to its place.
            const std::ptrdiff_t n = receive(socket, data.data() + received, kReadSize, abandon);
            if (n <= 0)
                return false;
            received += static_cast<std::size_t>(n);
        } else {
            // The tail goes through the buffer so that bytes beyond the announced length
            // are seen and refused.
            const std::ptrdiff_t n = receive(socket, buffer, kReadSize, abandon);
            if (n <= 0 || static_cast<std::size_t>(n) > remaining)
                return false;
            std::memcpy(data.data() + received, buffer, static_cast<std::size_t>(n));
            received += static_cast<std::size_t>(n);
        }
    }
    return true;
}

int exchange(const char* address, int port, int requestCode, ByteVector& data, float& extra,
             const std::atomic<bool>* abandon)
{
    const SocketGuard socket(net::openTcp());
    if (socket.get() == net::kInvalidSocket)
        return DEVICE_CONNECT_ERROR;
    if (!net::setSendTimeout(socket.get(), kSendTimeoutMs))
        net::reportLastError("setsockopt");
    if (!net::setReceiveTimeout(socket.get(), kReceiveTimeoutMs))
        net::reportLastError("setsockopt");
    if (!net::connectIpv4(socket.get(), address, port, kConnectTimeoutMs, abandon))
        return DEVICE_CONNECT_ERROR;

    unsigned char request[kRequestSize] = {static_cast<unsigned char>(requestCode & 0xff)};
    net::sendOnce(socket.get(), request, sizeof request);

    unsigned char buffer[kReadSize];
    std::size_t filled = 0;
    if (!fillTo(socket.get(), buffer, filled, 4, abandon))
        return DEVICE_RECV_ERROR;
    const int code = readInt32(buffer);
    if (!isPictureReply(code))
        return code;

    const std::size_t header = code == REPLY_IMAGE ? kImageHeaderSize : kImageExtHeaderSize;
    if (!fillTo(socket.get(), buffer, filled, header, abandon))
        return DEVICE_RECV_IMAGE_ERROR;

    std::int64_t announced = readInt32(buffer + 4);
    if (code == REPLY_IMAGE_EXT) {
        extra = readFloat32(buffer + 8);
        announced -= kImageExtLengthBias;
    }
    if (announced < 0 || static_cast<std::uint64_t>(announced) > kMaxPayloadBytes)
        return DEVICE_RECV_IMAGE_ERROR;

    data.resize(static_cast<std::size_t>(announced));
    const std::size_t inFirst = filled - header;
    if (inFirst > data.size())
        return DEVICE_RECV_IMAGE_ERROR;
    if (inFirst > 0)
        std::memcpy(data.data(), buffer + header, inFirst);
    if (!receivePayload(socket.get(), buffer, data, inFirst, abandon))
        return DEVICE_RECV_IMAGE_ERROR;
    return code;
}

} // namespace

int DeviceRequest(const char* address, int port, int requestCode, ByteVector& data, float& extra)
{
    return exchange(address, port, requestCode, data, extra, nullptr);
}

int DeviceRequest(const char* address, int port, int requestCode, ByteVector& data, float& extra,
                  const std::atomic<bool>& abandon)
{
    return exchange(address, port, requestCode, data, extra, &abandon);
}
