#pragma once

#include "platform/adapters.h"

#include <mutex>

// Stands in for the adapter table, whose Wi-Fi adapters this machine does not have: it
// answers with the adapters the test sets, or with a failed query.
class FakeAdapterTable final : public platform::AdapterTable
{
public:
    static platform::Adapter adapter(int type, std::vector<unsigned char> hardware,
                                     std::vector<std::string> ips, std::string name = "wlan")
    {
        platform::Adapter a;
        a.name = std::move(name);
        a.type = type;
        a.hardwareAddress = std::move(hardware);
        a.ipAddresses = std::move(ips);
        return a;
    }

    void set(std::vector<platform::Adapter> adapters, bool ok = true)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_adapters = std::move(adapters);
        m_ok = ok;
    }

    int queries() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queries;
    }

    bool query(std::vector<platform::Adapter>& adapters) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_queries;
        adapters = m_ok ? m_adapters : std::vector<platform::Adapter>{};
        return m_ok;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<platform::Adapter> m_adapters;
    bool m_ok = true;
    int m_queries = 0;
};
