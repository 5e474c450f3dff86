#include "hotspot/mythread.h"

#include "hotspot/openwifi.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

namespace {

// Lets the adapter settle between the two rounds.
constexpr unsigned long kPauseMs = 1000;

} // namespace

MyThread::MyThread(QObject* parent)
    : MyThread(platform::systemToolRunner(), platform::systemAdapterTable(), parent)
{}

MyThread::MyThread(platform::ToolRunner& runner, platform::AdapterTable& adapters, QObject* parent)
    : QThread(parent), m_runner(runner), m_adapters(adapters)
{
    setObjectName(QStringLiteral("hotspot worker"));
}

MyThread::~MyThread()
{
    wait();
    const std::lock_guard<std::mutex> lock(m_finishLock);
}

void MyThread::run()
{
    OPENWIFI wifi(m_runner, m_adapters);
    wifi.closeWifi();
    wifi.openWifi();
    msleep(kPauseMs);
    wifi.closeWifi();
    wifi.openWifi();
    emit isDone();
    const std::lock_guard<std::mutex> lock(m_finishLock);
}
