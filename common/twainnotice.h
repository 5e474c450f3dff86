#pragma once

#include <cstddef>

// The four-byte datagrams the acquisition program sends the TWAIN data source on 127.0.0.1,
// for the bridge that sends them and for whatever plays the data source's part.
namespace twain {

constexpr char kPictureSaved[] = "1001";   // the picture file is written: take it
constexpr char kProgramClosing[] = "1000"; // the acquisition program is closing
constexpr std::size_t kNoticeSize = 4;     // without a terminating NUL

} // namespace twain
