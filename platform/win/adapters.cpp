#include "platform/adapters.h"

#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <algorithm>

namespace platform {

namespace {

class WindowsAdapterTable final : public AdapterTable
{
public:
    bool query(std::vector<Adapter>& adapters) override
    {
        adapters.clear();
        // One fixed buffer: a table that does not fit (ERROR_BUFFER_OVERFLOW) is a failure.
        std::vector<unsigned char> buffer(kAdapterTableBytes);
        ULONG size = kAdapterTableBytes;
        auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
        if (::GetAdaptersInfo(first, &size) != ERROR_SUCCESS)
            return false;
        for (const IP_ADAPTER_INFO* info = first; info; info = info->Next) {
            Adapter adapter;
            adapter.name = info->AdapterName;
            adapter.type = static_cast<int>(info->Type);
            const unsigned length =
                std::min<unsigned>(info->AddressLength, kMaxHardwareAddressBytes);
            adapter.hardwareAddress.assign(info->Address, info->Address + length);
            for (const IP_ADDR_STRING* ip = &info->IpAddressList; ip; ip = ip->Next)
                adapter.ipAddresses.emplace_back(ip->IpAddress.String);
            adapters.push_back(std::move(adapter));
        }
        return true;
    }
};

} // namespace

AdapterTable& systemAdapterTable()
{
    static WindowsAdapterTable table;
    return table;
}

} // namespace platform
