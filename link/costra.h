#pragma once

#include "link/devicerequest.h"

#include <QMetaType>
#include <QString>

#include <atomic>
#include <deque>
#include <pthread.h>

// One scanner exchange as the rest of the program sees it.
struct OstraInfo
{
    QString ip;
    int port = 0;
    int status = 0;
    ByteVector data;
    float extra = 0.02f;
};
Q_DECLARE_METATYPE(OstraInfo)

// The link to one scanner address: a polling thread asks the scanner for a reply whenever
// the one-record queue is empty, so the consumer's pace sets the scanner's.
class COstra final
{
public:
    COstra();
    // Stops the polling thread and waits for it; its exchange is abandoned within tens of
    // milliseconds.
    ~COstra();
    COstra(const COstra&) = delete;
    COstra& operator=(const COstra&) = delete;

    // Stores the address and starts the polling thread; sleeps 100 ms before returning.
    void Init(const QString& ip, int port);
    // Takes the oldest record into out; false, out untouched, when none waits.
    bool GetInfo(OstraInfo& out);
    // One exchange with code on the caller's thread; true when the scanner answered with a
    // status or a picture, false when the exchange failed or the reply was no such code.
    bool SendCmd(int code);

    // Asks the polling thread to end; returns at once. No record is queued afterwards.
    void stop();
    // True once the polling thread has ended, or when it never started.
    bool finished() const { return m_finished.load(); }

    QString ip;
    int port = 0;
    pthread_t thread{};
    pthread_mutex_t mutex;
    std::deque<OstraInfo> infos;
    std::atomic<bool> running{false};

private:
    static void* PollThread(void* link);

    bool m_threadStarted = false;
    // Abandons the exchange in flight as soon as the link is stopped.
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_finished{true};
};
