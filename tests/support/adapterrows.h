#pragma once

#include "tests/mock/fakeadaptertable.h"

#include <QtTest>

// Adapter tables as test rows: the hotspot's probe and discovery's check both walk them,
// give a result and derive the network name on the way.
using Adapters = std::vector<platform::Adapter>;
Q_DECLARE_METATYPE(Adapters)

inline const std::vector<unsigned char> kMac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

inline platform::Adapter wifi(std::vector<std::string> ips, std::vector<unsigned char> mac = kMac)
{
    return FakeAdapterTable::adapter(platform::kAdapterTypeWireless, std::move(mac),
                                     std::move(ips));
}
inline platform::Adapter lan(std::vector<std::string> ips)
{
    return FakeAdapterTable::adapter(platform::kAdapterTypeEthernet, kMac, std::move(ips), "lan");
}

// Columns: the table, whether the query succeeds, "WIFI/setSSID" before (null: absent), the
// result, and the name derived (written with the flag set; empty: nothing written).
inline void addAdapterColumns()
{
    QTest::addColumn<Adapters>("listed");
    QTest::addColumn<bool>("queryOk");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("name");
}
inline void adapterRow(const char* rule, const Adapters& listed, int result,
                       const QString& name = QString(), const QString& flag = QString(),
                       bool ok = true)
{
    QTest::newRow(rule) << listed << ok << flag << result << name;
}
