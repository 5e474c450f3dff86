// What the external tools print, as discovery and the presence probe read it: the input is
// the output of `arp -a`, of `ping` and of `tasklist`, decoded as the runner decodes it.
// A whole discovery pass runs on it as well, so the addresses it keeps are checked too.

#include "common/processprobe.h"
#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/mock/fakeadaptertable.h"
#include "tests/mock/fakerunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "fuzz_tooloutput: %s %s\n", what, qPrintable(detail));
    std::abort();
}

void checkCandidates(const QStringList& candidates, const QString& listing, const QString& prefix)
{
    const QStringList tokens = listing.split(QLatin1Char(' '));
    for (int i = 0; i < candidates.size(); ++i) {
        const QString& candidate = candidates.at(i);
        if (!candidate.contains(prefix) || !tokens.contains(candidate))
            fail("a candidate that is no token with the prefix", candidate);
        if (candidates.indexOf(candidate) != i)
            fail("a candidate listed twice", candidate);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A pass reads the SSID once it sees the hosted network; never from this machine's file.
    overrideConfigFilePath(QStringLiteral("/nonexistent/fuzz_tooloutput/scanConfig.ini"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const QString output = QString::fromLocal8Bit(reinterpret_cast<const char*>(bytes), int(size));

    FakeRunner runner;
    runner.answer(QStringLiteral("arp"), output);
    runner.answer(QStringLiteral("ping"), output);
    runner.answer(QStringLiteral("tasklist"), output);
    FakeAdapterTable adapters;
    adapters.set({FakeAdapterTable::adapter(
        platform::kAdapterTypeWireless, {0x5c, 0xf3, 0x70, 0x11, 0x22, 0x33}, {"192.168.137.1"})});
    QTWIFI wifi(adapters, runner);

    // "null" is the prefix before any hosted network was seen.
    for (const QString& prefix :
         {QStringLiteral("192.168.137"), QStringLiteral("192.168.173"), QStringLiteral("null")})
        checkCandidates(wifi.scanArpTable(prefix), output, prefix);

    const bool answered = output.contains(QLatin1String("TTL"));
    if (wifi.pingDevice(QStringLiteral("192.168.137.45")) != answered)
        fail("ping reported against its output");

    if (processRunning(runner, QStringLiteral("imagename eq Beaconry.exe "),
                       QStringLiteral("Beaconry")) != output.contains(QLatin1String("Beaconry")))
        fail("the presence probe reported against the process list");

    // A pass keeps the answering neighbours on the hosted subnet other than the gateways.
    wifi.discoveryPass();
    const QStringList devices = wifi.deviceList();
    checkCandidates(devices, output, QStringLiteral("192.168.137"));
    if (!answered && !devices.isEmpty())
        fail("a device kept although no ping was answered");
    if (devices.contains(QStringLiteral("192.168.137.1")))
        fail("the gateway kept as a device");
    return 0;
}
