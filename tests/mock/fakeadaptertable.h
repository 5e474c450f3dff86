#pragma once

#include "platform/adapters.h"

#include <deque>
#include <mutex>

// Stands in for the adapter table, whose Wi-Fi adapters this machine does not have: it
// answers with the adapters the test sets, or with a failed query; answers queued with
// then() take over one query at a time, the last one staying.
class FakeAdapterTable final : public platform::AdapterTable
{
public:
    static platform::Adapter adapter(int type, std::vector<unsigned char> hardware,
                                     std::vector<std::string> ips, std::string name = "wlan")
    {
        return {std::move(name), type, std::move(hardware), std::move(ips)};
    }

    void set(std::vector<platform::Adapter> adapters, bool ok = true)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_adapters = std::move(adapters);
        m_ok = ok;
        m_next.clear();
    }
    void then(std::vector<platform::Adapter> adapters)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_next.push_back(std::move(adapters));
    }

    bool query(std::vector<platform::Adapter>& adapters) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        adapters = m_ok ? m_adapters : std::vector<platform::Adapter>{};
        const bool ok = m_ok;
        if (!m_next.empty()) {
            m_adapters = std::move(m_next.front());
            m_next.pop_front();
            m_ok = true;
        }
        return ok;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<platform::Adapter> m_adapters;
    std::deque<std::vector<platform::Adapter>> m_next;
    bool m_ok = true;
};
