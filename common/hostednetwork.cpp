#include "common/hostednetwork.h"

#include "platform/adapters.h"

namespace {

constexpr HostedGateway kGateways[] = {{"192.168.137.1", "192.168.137"},
                                       {"192.168.173.1", "192.168.173"}};

} // namespace

const HostedGateway* hostedGatewayOf(const platform::Adapter& adapter)
{
    for (const std::string& ip : adapter.ipAddresses) {
        for (const HostedGateway& gateway : kGateways) {
            if (ip == gateway.address)
                return &gateway;
        }
    }
    return nullptr;
}

bool isHostedGateway(const QString& address)
{
    for (const HostedGateway& gateway : kGateways) {
        if (address == QLatin1String(gateway.address))
            return true;
    }
    return false;
}
