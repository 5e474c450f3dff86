#pragma once

#include "acquisition/widget.h"
#include "discovery/tcpclient.h"
#include "tests/mock/fakeadaptertable.h"
#include "tests/mock/fakerunner.h"

#include <memory>

// The acquisition window as tests drive it. The fakes of the Windows facilities list the
// hotspot program as running and show the hosted network, so Wi-Fi never reads as off.
// The scanners the fake ARP listing names are reached over real sockets.
class WindowFixture final
{
public:
    WindowFixture()
    {
        adapters.set(
            {FakeAdapterTable::adapter(platform::kAdapterTypeWireless,
                                       {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, {"192.168.137.1"})});
        listScanners({});
        runner.answer(QStringLiteral("tasklist"),
                      QStringLiteral("\r\nImage Name                     PID Session Name\r\n"
                                     "Beaconry.exe                  4242 Console\r\n"));
    }

    // Makes discovery find these scanner addresses from its next pass on.
    void listScanners(const QStringList& addresses)
    {
        runner.answer(QStringLiteral("arp"),
                      FakeRunner::arpListing(QStringLiteral("192.168.137.1"), addresses));
        for (const QString& address : addresses)
            runner.answer(QStringLiteral("ping %1 -n 1 -w 1000").arg(address),
                          FakeRunner::ping(address));
    }

    std::unique_ptr<Widget> make()
    {
        return std::make_unique<Widget>(new TCPClient(adapters, runner), nullptr);
    }

    FakeAdapterTable adapters;
    FakeRunner runner;
};
