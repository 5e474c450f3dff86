// The Windows platform layer without Qt, for runs under Wine:
//   ostra-wincheck exchange ROW ADDRESS PORT   one row of the shared exchange table against
//                                              a peer the POSIX test prepared; exit 0 if as
//                                              the table expects
//   ostra-wincheck adapters                    the adapter table, one adapter a line

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
    } else if (argc == 2 && std::strcmp(argv[1], "adapters") == 0) {
        std::vector<platform::Adapter> adapters;
        rc = platform::systemAdapterTable().query(adapters) ? 0 : 1;
        for (const platform::Adapter& adapter : adapters) {
            std::cout << adapter.name << " type " << adapter.type << " hw";
            for (std::size_t i = 0; i < adapter.hardwareAddress.size(); ++i)
                std::printf("%s%02x", i ? ":" : " ", adapter.hardwareAddress[i]);
            std::cout << " ip";
            for (const std::string& ip : adapter.ipAddresses)
                std::cout << ' ' << ip;
            std::cout << std::endl;
        }
    }
    net::cleanup();
    return rc;
}
