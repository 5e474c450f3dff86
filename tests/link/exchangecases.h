#pragma once

// Scanner exchanges and what DeviceRequest makes of each, in plain C++ for both layers.

#include "link/devicerequest.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace exchange {

// The payload the scanner sends: never periodic over a read, so a misplaced chunk shows.
inline ByteVector pattern(std::size_t size)
{
    ByteVector bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 31 + 21 + i / 251) & 0xff);
    return bytes;
}

constexpr float kExtra = 0.375f, kSentinelExtra = -7.5f; // every extended header's, the caller's
inline const ByteVector kSentinelData = {0xde, 0xad};

// What the scanner sends: a code, a length field if 19 or 20, and `size` pattern bytes.
struct Reply
{
    int code = REPLY_STATE_LIT;
    int size = 0;
    std::int64_t length = INT64_MIN; // the announced length field; INT64_MIN: the one that fits
    int limit = -1;                  // bytes sent before the end (-1: all)
    bool hold = false;               // at the end, stay silent instead of closing
    int segment = 0;                 // bytes per write (0: one write)

    int bias() const { return code == REPLY_IMAGE_EXT ? kImageExtLengthBias : 0; }
    std::int32_t field() const
    {
        return std::int32_t(length == INT64_MIN ? size + bias() : length);
    }
    std::int64_t announced() const { return field() - bias(); }
    // Past a complete extended header its float is taken, whatever the length says.
    bool extraTaken() const { return bias() && (limit < 0 || limit >= kImageExtHeaderSize); }
    Reply cut(int n, bool silent = false) const { return {code, size, length, n, silent, segment}; }
    Reply seg(int n) const { return {code, size, length, limit, hold, n}; }
    Reply says(std::int64_t field) const { return {code, size, field, limit, hold, segment}; }
};

// What becomes of the caller's data vector: kept (capacity included: nothing allocated),
// not examined, the whole payload, or sized to the announced length with a prefix in place.
constexpr long kKept = -1, kIgnored = -2, kWhole = -3;

struct Case
{
    const char* name;
    Reply reply;
    int code;
    long data = kKept;
    // Where to instead of the simulator: an address, or "closed port" (nobody listens there).
    const char* peer = nullptr;
    int request = REQUEST_POLL;
};

// Far above every time-out here, far below the two minutes of an unbounded connect.
constexpr long long kBoundMs = 4 * kReceiveTimeoutMs;
constexpr const char* kAbsentHost = "192.168.137.46"; // no host holds it in the test network

// clang-format off
inline const std::vector<Case>& cases()
{
    const int chunk = int(kReadSize), cap = int(kMaxPayloadBytes);
    const int imageError = DEVICE_RECV_IMAGE_ERROR;
    auto status = [](int code, int trailing = 0) { return Reply{code, trailing}; };
    auto image = [](int size) { return Reply{REPLY_IMAGE, size}; };
    auto ext = [](int size) { return Reply{REPLY_IMAGE_EXT, size}; };
    static const std::vector<Case> table = {
        {"status lit, code alone", status(REPLY_STATE_LIT), REPLY_STATE_LIT},
        {"status dim with trailing bytes", status(REPLY_STATE_DIM, 300), REPLY_STATE_DIM},
        {"an unknown (negative) code is passed on", status(-5, 2), -5},
        {"the command request sends its low eight bits", status(REPLY_STATE_DIM), REPLY_STATE_DIM, kKept, nullptr, 0x100 | REQUEST_COMMAND},
        {"image in the first read", image(5000), REPLY_IMAGE, kWhole},
        {"image, empty payload", image(0), REPLY_IMAGE, kWhole},
        {"image exactly one read past the header", image(chunk - kImageHeaderSize), REPLY_IMAGE, kWhole},
        {"image over several reads", image(3 * 1024 * 1024 + 17), REPLY_IMAGE, kWhole},
        {"image header split byte by byte", image(300).seg(1), REPLY_IMAGE, kWhole},
        {"image at the length cap is served", image(cap), REPLY_IMAGE, kWhole},
        {"extended image, length field 100: no payload", ext(0), REPLY_IMAGE_EXT, kWhole},
        {"extended image over several reads", ext(1024 * 1024 + 3), REPLY_IMAGE_EXT, kWhole},
        {"extended 108-byte header in 5-byte segments", ext(600).seg(5), REPLY_IMAGE_EXT, kWhole},
        {"overrun in the first read", image(1005).says(1000), imageError, kIgnored},
        {"overrun in a later read keeps what arrived", image(3 * chunk + 164).says(3 * chunk + 100), imageError, chunk},
        {"negative length, nothing allocated", image(40).says(-5), imageError},
        {"2 GiB announced", image(64).says(INT32_MAX), imageError},
        {"just above the length cap", image(64).says(std::int64_t(cap) + 1), imageError},
        {"extended length field below 100", ext(0).says(99), imageError},
        {"closed before the code", status(REPLY_STATE_LIT).cut(0), DEVICE_RECV_ERROR},
        {"closed inside the code", image(16).cut(3), DEVICE_RECV_ERROR},
        {"closed inside the image header", image(16).cut(6), imageError},
        {"closed inside the extended header: its float is not taken", ext(16).cut(50), imageError},
        {"closed mid-payload keeps what arrived", ext(50000).cut(kImageExtHeaderSize + 20000), imageError, 20000},
        {"silent peer times out", status(REPLY_STATE_LIT).cut(0, true), DEVICE_RECV_ERROR},
        {"silent inside the image header", image(16).cut(5, true), imageError},
        {"stall mid-payload keeps what arrived", image(400000).cut(kImageHeaderSize + 200000, true), imageError, 200000},
        {"closed port", {}, DEVICE_CONNECT_ERROR, kKept, "closed port"},
        {"not an address", {}, DEVICE_CONNECT_ERROR, kKept, "not an address"},
        {"absent host is a connect error", {}, DEVICE_CONNECT_ERROR, kKept, kAbsentHost, REQUEST_COMMAND},
    };
    return table;
}
// clang-format on

// Runs one exchange: empty when its outcome is what the case expects, otherwise what differs.
inline std::string run(const Case& c, const char* address, int port)
{
    ByteVector data = kSentinelData;
    float extra = kSentinelExtra;
    const auto start = std::chrono::steady_clock::now();
    const int code = DeviceRequest(address, port, c.request, data, extra);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    std::string error = code == c.code ? "" : "code " + std::to_string(code) + "; ";
    if (extra != (c.reply.extraTaken() ? kExtra : kSentinelExtra))
        error += "extra " + std::to_string(extra) + "; ";
    if (c.data == kKept && (data != kSentinelData || data.capacity() != kSentinelData.capacity()))
        error += "the data vector was touched; ";
    const bool sized = c.data >= 0 || c.data == kWhole;
    if (sized && data.size() != std::size_t(c.reply.announced()))
        error += "data size " + std::to_string(data.size()) + "; ";
    const std::size_t compared =
        std::min(data.size(), std::size_t(c.data == kWhole ? c.reply.size : c.data));
    if (sized && !std::equal(data.begin(), data.begin() + std::ptrdiff_t(compared),
                             pattern(compared).begin()))
        error += "the data differs from what was sent; ";
    if (ms > kBoundMs)
        error += "took " + std::to_string(ms) + " ms";
    return error;
}

} // namespace exchange
