#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>

namespace platform {

namespace {

// What one adapter and each further address take in the Windows table (64-bit layout);
// the POSIX table refuses what Windows could not return in its fixed buffer.
constexpr unsigned kAdapterRecordBytes = 704;
constexpr unsigned kAddressRecordBytes = 48;

bool exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Linux marks Wi-Fi interfaces with these entries in their sysfs folder.
bool isWireless(const std::string& name)
{
    const std::string folder = "/sys/class/net/" + name + "/";
    return exists(folder + "wireless") || exists(folder + "phy80211");
}

class PosixAdapterTable final : public AdapterTable
{
public:
    bool query(std::vector<Adapter>& adapters) override
    {
        adapters.clear();
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0)
            return false;
        for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            // The loopback interface has no counterpart in the Windows table.
            if (!entry->ifa_name || (entry->ifa_flags & IFF_LOOPBACK))
                continue;
            Adapter& adapter = adapterNamed(adapters, entry->ifa_name);
            if (!entry->ifa_addr)
                continue;
            if (entry->ifa_addr->sa_family == AF_PACKET) {
                const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
                const unsigned length =
                    std::min<unsigned>(link->sll_halen, kMaxHardwareAddressBytes);
                adapter.hardwareAddress.assign(link->sll_addr, link->sll_addr + length);
            } else if (entry->ifa_addr->sa_family == AF_INET) {
                char text[INET_ADDRSTRLEN] = {0};
                const auto* ip = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
                if (::inet_ntop(AF_INET, &ip->sin_addr, text, sizeof text))
                    adapter.ipAddresses.emplace_back(text);
            }
        }
        ::freeifaddrs(list);

        unsigned bytes = 0;
        for (Adapter& adapter : adapters) {
            adapter.type = isWireless(adapter.name) ? kAdapterTypeWireless : kAdapterTypeEthernet;
            // Windows lists an adapter without an address as 0.0.0.0.
            if (adapter.ipAddresses.empty())
                adapter.ipAddresses.emplace_back("0.0.0.0");
            bytes += kAdapterRecordBytes +
                     kAddressRecordBytes * unsigned(adapter.ipAddresses.size() - 1);
        }
        if (bytes > kAdapterTableBytes) {
            adapters.clear();
            return false;
        }
        return true;
    }

private:
    static Adapter& adapterNamed(std::vector<Adapter>& adapters, const char* name)
    {
        for (Adapter& adapter : adapters) {
            if (adapter.name == name)
                return adapter;
        }
        adapters.push_back(Adapter{});
        adapters.back().name = name;
        return adapters.back();
    }
};

} // namespace

AdapterTable& systemAdapterTable()
{
    static PosixAdapterTable table;
    return table;
}

} // namespace platform
