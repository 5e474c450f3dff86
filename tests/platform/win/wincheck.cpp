// The Windows platform layer without Qt, for runs under Wine:
//   ostra-wincheck exchange ROW ADDRESS PORT   one case of the shared exchange table
//                                              against a peer the POSIX test prepared
//   ostra-wincheck adapters                    the adapter table, one adapter a line
// Exit code 0 when the case gave what the table expects (or the table was listed).

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
#include <string>

namespace {

int runExchange(const char* rowText, const char* address, const char* portText)
{
    const auto& table = exchange::cases();
    const std::size_t row = std::strtoul(rowText, nullptr, 10);
    if (row >= table.size()) {
        std::cerr << "no row " << rowText << '\n';
        return 2;
    }
    const exchange::Case& c = table[row];
    ByteVector data = exchange::sentinelData();
    float extra = exchange::kSentinelExtra;
    const auto start = std::chrono::steady_clock::now();
    const int code = DeviceRequest(address, std::atoi(portText), c.request, data, extra);
    const long long elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
    const std::string error = exchange::mismatch(c, code, data, extra, elapsedMs);
    std::cout << c.name << ": code " << code << ", " << data.size() << " bytes, extra " << extra
              << ", " << elapsedMs << " ms" << (error.empty() ? "" : "; MISMATCH: ") << error
              << std::endl;
    return error.empty() ? 0 : 1;
}

int listAdapters()
{
    std::vector<platform::Adapter> adapters;
    if (!platform::systemAdapterTable().query(adapters)) {
        std::cerr << "the adapter query failed\n";
        return 1;
    }
    for (const platform::Adapter& adapter : adapters) {
        std::string hardware;
        for (const unsigned char byte : adapter.hardwareAddress) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%s%02x", hardware.empty() ? "" : ":", byte);
            hardware += hex;
        }
        std::cout << adapter.name << " type " << adapter.type << " hw " << hardware << " ip";
        for (const std::string& ip : adapter.ipAddresses)
            std::cout << ' ' << ip;
        std::cout << std::endl;
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    platform::nameCurrentThread("ostra-wincheck");
    if (!net::startup()) {
        net::reportLastError("WSAStartup");
        return 2;
    }
    int rc = 2;
    if (argc == 5 && std::strcmp(argv[1], "exchange") == 0)
        rc = runExchange(argv[2], argv[3], argv[4]);
    else if (argc == 2 && std::strcmp(argv[1], "adapters") == 0)
        rc = listAdapters();
    else
        std::cerr << "usage: " << argv[0] << " exchange ROW ADDRESS PORT | adapters\n";
    net::cleanup();
    return rc;
}
