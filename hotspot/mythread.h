#pragma once

#include <QThread>

namespace platform {
class ToolRunner;
}

// The worker that (re)starts the access point off the GUI thread: each run takes it down
// and brings it up twice, a second apart, then reports isDone(). It shares nothing else
// with the window.
class MyThread final : public QThread
{
    Q_OBJECT

public:
    explicit MyThread(QObject* parent = nullptr);
    explicit MyThread(platform::ToolRunner& runner, QObject* parent = nullptr);

signals:
    void isDone();

protected:
    void run() override;

private:
    platform::ToolRunner& m_runner;
};
