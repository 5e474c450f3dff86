#pragma once

#include <QThread>

#include <mutex>

namespace platform {
class AdapterTable;
class ToolRunner;
} // namespace platform

// The worker that (re)starts the access point off the GUI thread: each run takes it down
// and brings it up twice, a second apart, then reports isDone(). It shares nothing else
// with the window.
class MyThread final : public QThread
{
    Q_OBJECT

public:
    explicit MyThread(QObject* parent = nullptr);
    MyThread(platform::ToolRunner& runner, platform::AdapterTable& adapters,
             QObject* parent = nullptr);
    // Waits for a run under way to end its cycle.
    ~MyThread() override;

signals:
    void isDone();

protected:
    void run() override;

private:
    platform::ToolRunner& m_runner;
    platform::AdapterTable& m_adapters;
    // Taken by a run as it ends and by the destructor after the wait: QThread's own join
    // happens in code ThreadSanitizer cannot see, a standard mutex it can.
    std::mutex m_finishLock;
};
