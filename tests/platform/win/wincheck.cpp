// The Windows layer without Qt under Wine; exit code 0 when as expected. "exchange ROW ADDRESS
// PORT": one row of the shared table against a peer the POSIX test prepared. "adapters HW":
// lists the adapter table, in which the adapter with hardware address HW holds 192.168.137.1.

#include "link/devicerequest.h"
#include "platform/adapters.h"
#include "platform/socket.h"
#include "tests/link/exchangecases.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    const std::string mode = argc > 2 && net::startup() ? argv[1] : "";
    int rc = 2;
    const std::size_t row = std::strtoul(argc == 5 ? argv[2] : "9999", nullptr, 10);
    if (mode == "exchange" && row < exchange::cases().size()) {
        const exchange::Case& c = exchange::cases()[row];
        const std::string error = exchange::run(c, argv[3], std::atoi(argv[4]));
        std::cout << c.name << ": " << (error.empty() ? "as expected" : error) << std::endl;
        rc = error.empty() ? 0 : 1;
    }
    std::vector<platform::Adapter> adapters;
    if (mode == "adapters" && platform::systemAdapterTable().query(adapters)) {
        for (const platform::Adapter& adapter : adapters) {
            std::string hw;
            for (const unsigned char byte : adapter.hardwareAddress) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x:", byte);
                hw += hex;
            }
            std::cout << adapter.name << " hw " << hw << std::endl;
            for (const std::string& ip : adapter.ipAddresses)
                rc = hw == argv[2] + std::string(":") && ip == "192.168.137.1" ? 0 : rc;
        }
    }
    net::cleanup();
    return rc;
}
