// The Windows platform layer without Qt, for runs under Wine:
//   ostra-wincheck exchange ROW ADDRESS PORT   one row of the shared exchange table against
//                                              a peer the POSIX test prepared; exit 0 if as
//                                              the table expects
//   ostra-wincheck adapters HW                 the adapter table, one adapter a line; exit
//                                              0 if HW holds 192.168.137.1

#include "link/devicerequest.h"
#include "platform/adapters.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "tests/link/exchangecases.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

int main(int argc, char* argv[])
{
    platform::nameCurrentThread("ostra-wincheck");
    if (!net::startup())
        return 2;
    int rc = 2;
    const std::size_t row = argc == 5 ? std::strtoul(argv[2], nullptr, 10) : SIZE_MAX;
    if (argc == 5 && std::strcmp(argv[1], "exchange") == 0 && row < exchange::cases().size()) {
        const exchange::Case& c = exchange::cases()[row];
        ByteVector data = exchange::kSentinelData;
        float extra = exchange::kSentinelExtra;
        const auto start = std::chrono::steady_clock::now();
        const int code = DeviceRequest(argv[3], std::atoi(argv[4]), c.request, data, extra);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        const std::string error = exchange::mismatch(c, code, data, extra, ms.count());
        std::cout << c.name << ": code " << code << ", " << data.size() << " bytes, extra " << extra
                  << ", " << ms.count() << " ms; " << error << std::endl;
        rc = error.empty() ? 0 : 1;
    } else if (argc == 3 && std::strcmp(argv[1], "adapters") == 0) {
        std::vector<platform::Adapter> adapters;
        platform::systemAdapterTable().query(adapters);
        for (const platform::Adapter& adapter : adapters) {
            std::string hw;
            for (const unsigned char byte : adapter.hardwareAddress) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%s%02x", hw.empty() ? "" : ":", byte);
                hw += hex;
            }
            std::cout << adapter.name << " type " << adapter.type << " hw " << hw << " ip";
            for (const std::string& ip : adapter.ipAddresses) {
                std::cout << ' ' << ip;
                rc = hw == argv[2] && ip == "192.168.137.1" ? 0 : rc;
            }
            std::cout << std::endl;
        }
    }
    net::cleanup();
    return rc;
}
