#pragma once

// The adapter table seam: the network adapters of this PC with their type, hardware
// address and IPv4 addresses, as the Windows IP Helper reports them.

#include <string>
#include <vector>

namespace platform {

constexpr int kAdapterTypeEthernet = 6;
constexpr int kAdapterTypeLoopback = 24;
constexpr int kAdapterTypeWireless = 71; // IF_TYPE_IEEE80211
// The fixed buffer the table is read into; a larger table counts as a failed query.
constexpr unsigned kAdapterTableBytes = 64800;
constexpr unsigned kMaxHardwareAddressBytes = 8;

struct Adapter
{
    std::string name;
    int type = kAdapterTypeEthernet;
    // The permanent address where the system reports one, else the current one; at most
    // kMaxHardwareAddressBytes.
    std::vector<unsigned char> hardwareAddress;
    std::vector<std::string> ipAddresses; // dotted quads, in the table's order
};

class AdapterTable
{
public:
    virtual ~AdapterTable() = default;
    // Fills adapters in the table's order; false when the query failed or the table
    // would not fit the fixed buffer.
    virtual bool query(std::vector<Adapter>& adapters) = 0;
};

// The operating system's table.
AdapterTable& systemAdapterTable();

} // namespace platform
