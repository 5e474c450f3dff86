#include "imaging/pictureheader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Each reader follows the library that decodes the format in what it reads and where, and
// refuses what that library might read differently; a refusal only costs a picture that
// would decode, a wrong size lets the decoder allocate what it likes. The formats are tried
// in OpenCV's order, so the bytes go to the decoder OpenCV itself would choose.

namespace {

using Bytes = std::vector<unsigned char>;

bool startsWith(const Bytes& bytes, const char* prefix, std::size_t length)
{
    return bytes.size() >= length && std::memcmp(bytes.data(), prefix, length) == 0;
}

// An unsigned number of n bytes at at, most significant first or last.
std::uint32_t bigEndian(const unsigned char* at, int n)
{
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i)
        value = value << 8 | at[i];
    return value;
}
std::uint32_t littleEndian(const unsigned char* at, int n)
{
    std::uint32_t value = 0;
    for (int i = n - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

cv::Size sizeOf(std::int64_t width, std::int64_t height)
{
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX)
        return {};
    return {int(width), int(height)};
}

// The first chunk must be the header chunk.
cv::Size png(const Bytes& b)
{
    if (b.size() < 24 || std::memcmp(b.data() + 12, "IHDR", 4) != 0)
        return {};
    return sizeOf(bigEndian(&b[16], 4), bigEndian(&b[20], 4));
}

// The frame header, found as the JPEG library walks the markers: bytes between segments are
// skipped up to the next 0xFF, a segment is skipped by its length, and a scan, an end or a
// second start before the frame header is an error.
cv::Size jpeg(const Bytes& b)
{
    std::size_t at = 2;
    for (;;) {
        unsigned marker = 0;
        while (marker == 0) { // 0xFF 0x00 is a stuffed byte, no marker
            while (at < b.size() && b[at] != 0xff)
                ++at;
            while (at < b.size() && b[at] == 0xff)
                ++at;
            if (at >= b.size())
                return {};
            marker = b[at++];
        }
        const bool frame =
            marker == 0xc0 || marker == 0xc1 || marker == 0xc2 || marker == 0xc9 || marker == 0xca;
        const bool segment = marker == 0xc4 || marker == 0xcc ||
                             (marker >= 0xdb && marker <= 0xdd) ||
                             (marker >= 0xe0 && marker <= 0xef) || marker == 0xfe;
        if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01)
            continue; // markers without a segment
        if (!frame && !segment)
            return {}; // other frame types, a scan before the frame, an end, unknown markers
        if (at + 2 > b.size())
            return {};
        const std::uint32_t length = bigEndian(&b[at], 2);
        if (length < 2)
            return {};
        if (frame) {
            // Grey, colour and CMYK are what OpenCV converts; other component counts fail.
            if (at + 8 > b.size() || (b[at + 7] != 1 && b[at + 7] != 3 && b[at + 7] != 4))
                return {};
            return sizeOf(bigEndian(&b[at + 5], 2), bigEndian(&b[at + 3], 2));
        }
        at += length;
    }
}

// Both header kinds OpenCV reads; a negative height stands for a picture stored top down.
cv::Size bmp(const Bytes& b)
{
    if (b.size() < 26)
        return {};
    const std::uint32_t headerSize = littleEndian(&b[14], 4);
    if (headerSize == 12)
        return sizeOf(littleEndian(&b[18], 2), littleEndian(&b[20], 2));
    if (headerSize < 36 || headerSize > INT_MAX)
        return {};
    const std::int64_t height = std::int32_t(littleEndian(&b[22], 4));
    return sizeOf(std::int32_t(littleEndian(&b[18], 4)), std::abs(height));
}

// The first directory's width and height, each once, as a single short or long. The decoder
// fills a whole tile, at up to eight bytes a pixel, whatever the picture's size, so a tile
// larger than the picture rounded up to 256 pixels is refused: a picture of one pixel in a
// tile of 32752 x 32752 took over 4 GiB.
cv::Size tiff(const Bytes& b)
{
    const bool little = b[0] == 'I';
    const auto number = [&](std::size_t at, int n) {
        return little ? littleEndian(&b[at], n) : bigEndian(&b[at], n);
    };
    if (b.size() < 8)
        return {};
    const std::uint64_t directory = number(4, 4);
    if (directory + 2 > b.size())
        return {};
    const std::uint64_t entries = number(directory, 2);
    if (directory + 2 + 12 * entries > b.size())
        return {};
    // Width and height, then tile width and length.
    std::int64_t size[4] = {-1, -1, -1, -1};
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::size_t entry = std::size_t(directory + 2 + 12 * i);
        const std::uint32_t tag = number(entry, 2);
        const int field = tag == 256 || tag == 257   ? int(tag - 256)
                          : tag == 322 || tag == 323 ? int(tag - 320)
                                                     : -1;
        if (field == -1)
            continue;
        const std::uint32_t type = number(entry + 2, 2);
        if (size[field] != -1 || number(entry + 4, 4) != 1 || (type != 3 && type != 4))
            return {};
        size[field] = type == 3 ? number(entry + 8, 2) : number(entry + 8, 4);
    }
    for (int i = 0; i < 2; ++i) {
        if (size[i + 2] > (size[i] + 255) / 256 * 256)
            return {};
    }
    return sizeOf(size[0], size[1]);
}

// As OpenCV reads the numbers: blanks and "#" comments before the digits, and the byte after
// them taken too.
cv::Size pnm(const Bytes& b)
{
    std::size_t at = 2;
    const auto number = [&]() -> std::int64_t {
        while (at < b.size() && !std::isdigit(b[at])) {
            if (b[at] == '#') {
                while (at < b.size() && b[at] != '\n' && b[at] != '\r')
                    ++at;
            } else if (!std::isspace(b[at])) {
                return -1;
            }
            ++at;
        }
        std::int64_t value = 0;
        for (; at < b.size() && std::isdigit(b[at]); ++at) {
            value = value * 10 + (b[at] - '0');
            if (value > INT_MAX)
                return -1;
        }
        return at++ < b.size() ? value : -1;
    };
    const std::int64_t width = number();
    return sizeOf(width, width > 0 ? number() : -1);
}

cv::Size sunRaster(const Bytes& b)
{
    if (b.size() < 12)
        return {};
    return sizeOf(std::int32_t(bigEndian(&b[4], 4)), std::int32_t(bigEndian(&b[8], 4)));
}

// OpenCV takes bytes for WebP when the WebP library finds a picture in their first 32
// (blank-padded); these are its rules for that, down to the sizes it would then decode. True
// when the bytes are WebP to OpenCV; size is then empty for what this reader refuses.
bool webp(const Bytes& b, cv::Size& size)
{
    constexpr std::uint32_t kMaxChunk = 0xfffffff6;
    std::array<unsigned char, 32> d;
    d.fill(' ');
    std::copy_n(b.begin(), std::min(b.size(), d.size()), d.begin());
    const auto tag = [&](std::size_t at, const char* name) {
        return std::memcmp(&d[at], name, 4) == 0;
    };
    std::size_t at = 0;
    std::uint32_t riff = 0;
    if (tag(0, "RIFF")) {
        riff = littleEndian(&d[4], 4);
        if (!tag(8, "WEBP") || riff < 12 || riff > kMaxChunk)
            return false;
        at = 12;
    }
    if (tag(at, "VP8X")) {
        if (!riff || littleEndian(&d[at + 4], 4) != 10)
            return false;
        const std::uint64_t width = 1 + littleEndian(&d[at + 12], 3);
        const std::uint64_t height = 1 + littleEndian(&d[at + 15], 3);
        if (width * height >= (std::uint64_t(1) << 32))
            return false;
        const bool animated = d[at + 8] & 0x02; // OpenCV refuses these after the header
        size = animated ? cv::Size() : sizeOf(std::int64_t(width), std::int64_t(height));
        return true;
    }
    if (!riff && tag(at, "ALPH"))
        return false; // refused here; no other format of ours starts so
    std::uint32_t chunk = std::uint32_t(d.size() - at);
    bool lossless = d[at] == 0x2f && (d[at + 4] >> 5) == 0;
    if (tag(at, "VP8 ") || tag(at, "VP8L")) {
        lossless = tag(at, "VP8L");
        chunk = littleEndian(&d[at + 4], 4);
        if ((riff >= 12 && chunk > riff - 12) || chunk > kMaxChunk)
            return false;
        at += 8;
    }
    if (lossless) {
        if (d[at] != 0x2f || (d[at + 4] >> 5) != 0)
            return false;
        const std::uint32_t bits = littleEndian(&d[at + 1], 4);
        size = {int(bits & 0x3fff) + 1, int(bits >> 14 & 0x3fff) + 1};
        return true;
    }
    const std::uint32_t frameTag = littleEndian(&d[at], 3);
    const bool keyFrame = !(frameTag & 1), shown = frameTag >> 4 & 1;
    if (d[at + 3] != 0x9d || d[at + 4] != 0x01 || d[at + 5] != 0x2a || !keyFrame || !shown ||
        (frameTag >> 1 & 7) > 3 || frameTag >> 5 >= chunk)
        return false;
    const int width = int(littleEndian(&d[at + 6], 2) & 0x3fff);
    const int height = int(littleEndian(&d[at + 8], 2) & 0x3fff);
    if (width == 0 || height == 0)
        return false;
    size = {width, height};
    return true;
}

} // namespace

cv::Size pictureHeaderSize(const std::vector<unsigned char>& bytes)
{
    if (startsWith(bytes, "BM", 2))
        return bmp(bytes);
    if (startsWith(bytes, "\xff\xd8\xff", 3))
        return jpeg(bytes);
    cv::Size size;
    if (webp(bytes, size))
        return size;
    if (startsWith(bytes, "\x59\xa6\x6a\x95", 4))
        return sunRaster(bytes);
    // OpenCV pads short bytes with blanks before it compares.
    if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6' &&
        (bytes.size() == 2 || std::isspace(bytes[2])))
        return pnm(bytes);
    if (startsWith(bytes, "II*\0", 4) || startsWith(bytes, "MM\0*", 4))
        return tiff(bytes);
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n", 8))
        return png(bytes);
    return {};
}
