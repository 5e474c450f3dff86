#pragma once

// Scanner exchanges and what DeviceRequest makes of each. Plain C++, because the same
// table runs in the POSIX test and in the Windows program that runs under Wine: both
// layers must give the same code, bytes and extra.

#include "link/devicerequest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace exchange {

// The byte at index i of every payload the scanner sends; never periodic over a read.
inline unsigned char patternByte(std::size_t i)
{
    return static_cast<unsigned char>((i * 31 + 21 + i / 251) & 0xff);
}

// What the simulated scanner sends: a status code with `size` trailing pattern bytes, or
// an image header (19, 20) with its length field and `size` pattern bytes after it.
struct Reply
{
    static constexpr std::int64_t kTrueLength = INT64_MIN;

    int code = REPLY_STATE_LIT;
    int size = 0;
    std::int64_t length = kTrueLength; // the announced length field, or the one that fits
    float extra = 0.375f;
    int limit = -1;    // bytes sent before the end (-1: all)
    bool hold = false; // at the end, stay silent instead of closing
    int segment = 0;   // bytes per write (0: one write)

    std::int32_t lengthField() const
    {
        if (length != kTrueLength)
            return static_cast<std::int32_t>(length);
        return code == REPLY_IMAGE_EXT ? size + kImageExtLengthBias : size;
    }
    // The payload length the header announces.
    std::int64_t announced() const
    {
        return code == REPLY_IMAGE_EXT ? lengthField() - kImageExtLengthBias : lengthField();
    }
    Reply sent(int bytes, bool silent = false) const
    {
        Reply r = *this;
        r.limit = bytes;
        r.hold = silent;
        return r;
    }
    Reply inSegments(int bytes) const
    {
        Reply r = *this;
        r.segment = bytes;
        return r;
    }
    Reply announcing(std::int64_t field) const
    {
        Reply r = *this;
        r.length = field;
        return r;
    }
};

inline Reply status(int code, int trailing = 0)
{
    return Reply{code, trailing};
}
inline Reply image(int size)
{
    return Reply{REPLY_IMAGE, size};
}
inline Reply imageExt(int size, float extra = 0.375f)
{
    Reply r{REPLY_IMAGE_EXT, size};
    r.extra = extra;
    return r;
}

// Where the exchange goes: the simulator, or a place no scanner answers.
enum class Peer
{
    Simulator,
    ClosedPort,   // a loopback port nobody listens on
    DeafListener, // a listener whose queue is full, so the handshake never completes
    NotAnAddress, // text that is no dotted quad
    AbsentHost,   // an address in the test network that no host holds
};

enum class Data
{
    Kept,    // the caller's vector, capacity included: nothing was allocated
    Whole,   // exactly the payload it announced
    Prefix,  // sized to the announced length, its first `prefix` bytes in place
    Ignored, // not examined
};

struct Expected
{
    int code;
    Data data = Data::Kept;
    std::size_t prefix = 0;
    bool extraTaken = false; // extra is the reply's; otherwise the caller's stays
};

struct Case
{
    const char* name;
    Reply reply;
    Expected expected;
    Peer peer = Peer::Simulator;
    int request = REQUEST_POLL;
};

// The caller's outputs before each exchange, so that an untouched output shows.
inline ByteVector sentinelData()
{
    return ByteVector{0xde, 0xad};
}
constexpr float kSentinelExtra = -7.5f;
// Far above every time-out and transfer here, far below the two minutes of an unbounded
// connect: proves an exchange ends rather than measuring how fast.
constexpr long long kBoundMs = 4 * kReceiveTimeoutMs;
// The address of no host in the test network.
constexpr const char* kAbsentHost = "192.168.137.46";

inline const std::vector<Case>& cases()
{
    const int readSize = static_cast<int>(kReadSize);
    const int cap = static_cast<int>(kMaxPayloadBytes);
    static const std::vector<Case> table = {
        {"status lit, code alone", status(REPLY_STATE_LIT), {REPLY_STATE_LIT}},
        {"status dim with trailing bytes", status(REPLY_STATE_DIM, 300), {REPLY_STATE_DIM}},
        {"status animated", status(REPLY_STATE_ANIMATED, 3), {REPLY_STATE_ANIMATED}},
        {"an unknown code is passed on", status(77), {77}},
        {"code zero", status(0), {0}},
        {"negative code", status(-5, 2), {-5}},
        {"the command request carries the low eight bits",
         status(REPLY_STATE_DIM),
         {REPLY_STATE_DIM},
         Peer::Simulator,
         0x100 | REQUEST_COMMAND},

        {"image in the first read", image(5000), {REPLY_IMAGE, Data::Whole}},
        {"image, empty payload", image(0), {REPLY_IMAGE, Data::Whole}},
        {"image exactly one read past the header",
         image(readSize - kImageHeaderSize),
         {REPLY_IMAGE, Data::Whole}},
        {"image over several reads", image(3 * 1024 * 1024 + 17), {REPLY_IMAGE, Data::Whole}},
        {"image in tiny segments", image(4000).inSegments(7), {REPLY_IMAGE, Data::Whole}},
        {"image header split byte by byte", image(300).inSegments(1), {REPLY_IMAGE, Data::Whole}},
        {"image at the length cap is served", image(cap), {REPLY_IMAGE, Data::Whole}},
        {"extended image, length field 100: no payload",
         imageExt(0),
         {REPLY_IMAGE_EXT, Data::Whole, 0, true}},
        {"extended image, small", imageExt(2048), {REPLY_IMAGE_EXT, Data::Whole, 0, true}},
        {"extended image, large",
         imageExt(1024 * 1024 + 3),
         {REPLY_IMAGE_EXT, Data::Whole, 0, true}},
        {"extended 108-byte header in 5-byte segments",
         imageExt(600).inSegments(5),
         {REPLY_IMAGE_EXT, Data::Whole, 0, true}},

        {"overrun in the first read",
         image(1005).announcing(1000),
         {DEVICE_RECV_IMAGE_ERROR, Data::Ignored}},
        {"overrun in a later read keeps what arrived",
         image(3 * readSize + 164).announcing(3 * readSize + 100),
         {DEVICE_RECV_IMAGE_ERROR, Data::Prefix, kReadSize}},
        {"negative length, nothing allocated", image(40).announcing(-5), {DEVICE_RECV_IMAGE_ERROR}},
        {"most negative length", image(0).announcing(INT32_MIN), {DEVICE_RECV_IMAGE_ERROR}},
        {"2 GiB announced", image(64).announcing(INT32_MAX), {DEVICE_RECV_IMAGE_ERROR}},
        {"just above the length cap",
         image(64).announcing(std::int64_t(kMaxPayloadBytes) + 1),
         {DEVICE_RECV_IMAGE_ERROR}},
        // Past a complete extended header its float is taken, whatever the length says.
        {"extended length field below 100",
         imageExt(0, 2.5f).announcing(99),
         {DEVICE_RECV_IMAGE_ERROR, Data::Kept, 0, true}},
        {"extended length field negative",
         imageExt(0, 2.5f).announcing(-1),
         {DEVICE_RECV_IMAGE_ERROR, Data::Kept, 0, true}},
        {"extended length field huge",
         imageExt(0, 2.5f).announcing(INT32_MAX),
         {DEVICE_RECV_IMAGE_ERROR, Data::Kept, 0, true}},

        {"closed before the code", status(REPLY_STATE_LIT).sent(0), {DEVICE_RECV_ERROR}},
        {"closed inside a status code", status(REPLY_STATE_LIT).sent(3), {DEVICE_RECV_ERROR}},
        {"closed inside an image code", image(16).sent(2), {DEVICE_RECV_ERROR}},
        {"closed inside the image header", image(16).sent(6), {DEVICE_RECV_IMAGE_ERROR}},
        // The float lies inside the unfinished header, so it is not taken either.
        {"closed inside the extended header",
         imageExt(16, 1.5f).sent(50),
         {DEVICE_RECV_IMAGE_ERROR}},
        {"closed mid-payload keeps what arrived",
         imageExt(50000, 4.25f).sent(kImageExtHeaderSize + 20000),
         {DEVICE_RECV_IMAGE_ERROR, Data::Prefix, 20000, true}},

        {"silent peer times out", status(REPLY_STATE_LIT).sent(0, true), {DEVICE_RECV_ERROR}},
        {"silent inside the image header", image(16).sent(5, true), {DEVICE_RECV_IMAGE_ERROR}},
        {"stall mid-payload keeps what arrived",
         image(400000).sent(kImageHeaderSize + 200000, true),
         {DEVICE_RECV_IMAGE_ERROR, Data::Prefix, 200000}},

        {"closed port", {}, {DEVICE_CONNECT_ERROR}, Peer::ClosedPort},
        {"not an address", {}, {DEVICE_CONNECT_ERROR}, Peer::NotAnAddress},
        // Unbounded, the handshake is retried for about two minutes on the GUI thread.
        {"connect to a deaf listener is bounded",
         {},
         {DEVICE_CONNECT_ERROR},
         Peer::DeafListener,
         REQUEST_COMMAND},
        {"absent host is a connect error", {}, {DEVICE_CONNECT_ERROR}, Peer::AbsentHost},
    };
    return table;
}

// Empty when the exchange's outcome is what the case expects, otherwise what differs.
inline std::string mismatch(const Case& c, int code, const ByteVector& data, float extra,
                            long long elapsedMs)
{
    std::string error;
    auto differs = [&error](const std::string& what) { error += what + "; "; };
    if (code != c.expected.code)
        differs("code " + std::to_string(code) + ", expected " + std::to_string(c.expected.code));
    const float wantedExtra = c.expected.extraTaken ? c.reply.extra : kSentinelExtra;
    if (extra != wantedExtra)
        differs("extra " + std::to_string(extra) + ", expected " + std::to_string(wantedExtra));

    std::size_t compared = 0;
    switch (c.expected.data) {
    case Data::Kept:
        if (data != sentinelData() || data.capacity() != sentinelData().capacity())
            differs("the data vector was touched");
        break;
    case Data::Whole:
    case Data::Prefix:
        compared = c.expected.data == Data::Whole ? std::size_t(c.reply.size) : c.expected.prefix;
        if (data.size() != static_cast<std::size_t>(c.reply.announced()))
            differs("data size " + std::to_string(data.size()) + ", announced " +
                    std::to_string(c.reply.announced()));
        break;
    case Data::Ignored:
        break;
    }
    for (std::size_t i = 0; i < compared && i < data.size(); ++i) {
        if (data[i] != patternByte(i)) {
            differs("data differs at byte " + std::to_string(i));
            break;
        }
    }
    if (elapsedMs > kBoundMs)
        differs("took " + std::to_string(elapsedMs) + " ms");
    return error;
}

} // namespace exchange
