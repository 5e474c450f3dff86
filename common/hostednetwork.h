#pragma once

#include <QString>

namespace platform {
struct Adapter;
}

// The gateway address Windows gives a hosted network, and the subnet it selects.
struct HostedGateway
{
    const char* address;
    const char* prefix;
};

// The first hosted-network gateway among the adapter's addresses (in their order, each
// compared with the gateways in turn); null when it carries none. The adapter's type is
// not looked at.
const HostedGateway* hostedGatewayOf(const platform::Adapter& adapter);

// True when address is one of the hosted-network gateways.
bool isHostedGateway(const QString& address);
