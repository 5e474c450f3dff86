#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

// The scanner's wire protocol: one TCP connection per exchange, an 8-byte request out,
// a 4-byte little-endian reply code back, and for the image codes a header and payload.

using ByteVector = std::vector<unsigned char>;

// Request codes.
constexpr int REQUEST_POLL = 1;
constexpr int REQUEST_COMMAND = 2;

// Reply codes the rest of the system reacts to.
constexpr int REPLY_STATE_DIM = 16;
constexpr int REPLY_STATE_LIT = 17;
constexpr int REPLY_STATE_ANIMATED = 18;
constexpr int REPLY_IMAGE = 19;
constexpr int REPLY_IMAGE_EXT = 20;

// Whether a reply code announces a picture (its length, then its bytes).
constexpr bool isPictureReply(int code)
{
    return code == REPLY_IMAGE || code == REPLY_IMAGE_EXT;
}

// Local failure codes.
constexpr int DEVICE_CONNECT_ERROR = 1001;
constexpr int DEVICE_RECV_ERROR = 1002;
constexpr int DEVICE_RECV_IMAGE_ERROR = 1003;
constexpr int DEVICE_DATA_RECV_FAIL = 1004;

constexpr int kScannerPort = 12357;
constexpr int kRequestSize = 8;
constexpr int kImageHeaderSize = 8;
constexpr int kImageExtHeaderSize = 108;
// Bytes from offset 8 that a code-20 length counts before the payload starts.
constexpr int kImageExtLengthBias = 100;
constexpr std::size_t kReadSize = 102400;
constexpr int kSendTimeoutMs = 5000;
constexpr int kReceiveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
// No picture the scanner takes comes near this; a larger announced length is a broken or
// hostile peer and is refused before anything is allocated.
constexpr std::size_t kMaxPayloadBytes = 64u * 1024u * 1024u;

// One exchange with the scanner at address:port. Returns the reply code (for 19 and 20
// only once the whole payload arrived), DEVICE_CONNECT_ERROR when no connection was made,
// DEVICE_RECV_ERROR when the reply code did not arrive, DEVICE_RECV_IMAGE_ERROR when an
// image header or payload was cut short, overran or announced an impossible length.
// data is written only for replies 19 and 20 with a valid length; extra only for reply 20.
int DeviceRequest(const char* address, int port, int requestCode, ByteVector& data, float& extra);
// The same exchange, abandoned within tens of milliseconds once abandon is set; the result
// of an abandoned exchange is a failure code and means nothing.
int DeviceRequest(const char* address, int port, int requestCode, ByteVector& data, float& extra,
                  const std::atomic<bool>& abandon);
