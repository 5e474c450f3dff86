#pragma once

#include "link/devicerequest.h"

#include <QMetaType>
#include <QString>

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <pthread.h>

// One scanner exchange as the rest of the program sees it.
struct OstraInfo
{
    QString ip;
    int port = 0;
    int status = 0;
    ByteVector data;
    float extra = 0.02f;
    // When the link queued the record, on linkClockMs()'s clock.
    qint64 queuedAtMs = 0;
};
Q_DECLARE_METATYPE(OstraInfo)

// Milliseconds on the steady clock.
inline qint64 linkClockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The link to one scanner address: a polling thread asks the scanner for a reply whenever
// the one-record queue is empty, so the consumer's pace sets the scanner's. A picture is
// announced as soon as it is queued, so that it need not wait for the consumer's pace.
class COstra final
{
public:
    COstra();
    // Stops the polling thread and waits for it; its exchange is abandoned within tens of
    // milliseconds.
    ~COstra();
    COstra(const COstra&) = delete;
    COstra& operator=(const COstra&) = delete;

    // Called on the polling thread after a picture record (19 or 20) was queued; set before
    // Init.
    std::function<void()> onPictureQueued;

    // Stores the address and starts the polling thread; sleeps 100 ms before returning.
    void Init(const QString& ip, int port);
    // Takes the oldest record into out; false, out untouched, when none waits.
    bool GetInfo(OstraInfo& out);
    // Takes the waiting record only when it is a picture; false, out untouched, otherwise.
    bool TakePicture(OstraInfo& out);
    // Takes the waiting record only when it is no picture; false, out untouched, otherwise,
    // with pictureWaits telling whether a picture is what waits.
    bool TakeStatus(OstraInfo& out, bool& pictureWaits);
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
