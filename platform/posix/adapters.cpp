#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

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

// The address the adapter was made with. NetworkManager gives an idle Wi-Fi adapter a random
// current address, and idle is when the SSID is derived; empty when the driver reports none
// (all zeros, as virtual adapters do).
std::vector<unsigned char> permanentAddress(int socket, const std::string& name)
{
    // The reply's bytes follow the request's header, as the kernel's flexible array has it.
    alignas(ethtool_perm_addr) unsigned char
        buffer[sizeof(ethtool_perm_addr) + kMaxHardwareAddressBytes] = {0};
    auto* query = reinterpret_cast<ethtool_perm_addr*>(buffer);
    query->cmd = ETHTOOL_GPERMADDR;
    query->size = kMaxHardwareAddressBytes;
    ifreq request{};
    if (name.size() >= sizeof request.ifr_name)
        return {};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    request.ifr_data = reinterpret_cast<char*>(buffer);
    if (socket < 0 || ::ioctl(socket, SIOCETHTOOL, &request) != 0)
        return {};
    const unsigned length = std::min<unsigned>(query->size, kMaxHardwareAddressBytes);
    const unsigned char* data = buffer + sizeof(ethtool_perm_addr);
    std::vector<unsigned char> address(data, data + length);
    if (std::all_of(address.begin(), address.end(), [](unsigned char b) { return b == 0; }))
        return {};
    return address;
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
        const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (Adapter& adapter : adapters) {
            adapter.type = isWireless(adapter.name) ? kAdapterTypeWireless : kAdapterTypeEthernet;
            std::vector<unsigned char> permanent = permanentAddress(socket, adapter.name);
            if (!permanent.empty())
                adapter.hardwareAddress = std::move(permanent);
            // Windows lists an adapter without an address as 0.0.0.0.
            if (adapter.ipAddresses.empty())
                adapter.ipAddresses.emplace_back("0.0.0.0");
            bytes += kAdapterRecordBytes +
                     kAddressRecordBytes * unsigned(adapter.ipAddresses.size() - 1);
        }
        if (socket >= 0)
            ::close(socket);
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
