#include "common/ssid.h"

QString ssidDigits(const std::vector<unsigned char>& hardwareAddress)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    const size_t length = hardwareAddress.size() < 8 ? hardwareAddress.size() : 8;
    for (size_t i = 0; i < length; ++i) {
        text += QLatin1Char(digits[hardwareAddress[i] >> 4]);
        text += QLatin1Char(digits[hardwareAddress[i] & 0x0f]);
    }
    // SSIDs already stored in the field were made this way: the last digit is not used.
    text.chop(1);
    return text;
}
