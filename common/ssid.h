#pragma once

#include <QString>

#include <vector>

// The digits both programs build an SSID from: the hardware address as upper-case
// hexadecimal, two digits per byte (at most 8 bytes), with the last digit dropped, so a
// 6-byte address gives 11 digits. Empty for an empty address, which has no digit to drop.
QString ssidDigits(const std::vector<unsigned char>& hardwareAddress);
