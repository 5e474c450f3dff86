#include "link/costra.h"

#include "platform/socket.h"
#include "platform/thread.h"

#include <QByteArray>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr auto kLoopSleep = std::chrono::milliseconds(10);
constexpr auto kInitSettle = std::chrono::milliseconds(100);

class MutexLocker final
{
public:
    explicit MutexLocker(pthread_mutex_t& mutex) : m_mutex(mutex) { pthread_mutex_lock(&m_mutex); }
    ~MutexLocker() { pthread_mutex_unlock(&m_mutex); }
    MutexLocker(const MutexLocker&) = delete;
    MutexLocker& operator=(const MutexLocker&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

} // namespace

COstra::COstra() : mutex(PTHREAD_MUTEX_INITIALIZER) {}

COstra::~COstra()
{
    stop();
    if (m_threadStarted)
        pthread_join(thread, nullptr);
    pthread_mutex_destroy(&mutex);
}

void COstra::Init(const QString& address, int scannerPort)
{
    ip = address;
    port = scannerPort;
    running = true;
    m_finished = false;
    // Joinable rather than detached: a link taken out of service is joined and released
    // instead of idling for the rest of the process.
    const int rc = pthread_create(&thread, nullptr, &COstra::PollThread, this);
    if (rc != 0) {
        std::printf("Error::COstra::Init:pthread_create,rc=%d\n", rc);
        std::fflush(stdout);
        m_finished = true;
    } else {
        m_threadStarted = true;
    }
    std::this_thread::sleep_for(kInitSettle);
}

bool COstra::GetInfo(OstraInfo& out)
{
    MutexLocker lock(mutex);
    if (infos.empty())
        return false;
    out = std::move(infos.front());
    infos.pop_front();
    return true;
}

bool COstra::TakePicture(OstraInfo& out)
{
    MutexLocker lock(mutex);
    if (infos.empty() || !isPictureReply(infos.front().status))
        return false;
    out = std::move(infos.front());
    infos.pop_front();
    return true;
}

bool COstra::TakeStatus(OstraInfo& out, bool& pictureWaits)
{
    MutexLocker lock(mutex);
    pictureWaits = !infos.empty() && isPictureReply(infos.front().status);
    if (infos.empty() || pictureWaits)
        return false;
    out = std::move(infos.front());
    infos.pop_front();
    return true;
}

bool COstra::SendCmd(int code)
{
    ByteVector scratch;
    float extra = 0.02f;
    const int result = DeviceRequest(ip.toUtf8().constData(), port, code, scratch, extra);
    // The local failure codes are positive too: only a reply the scanner gave counts.
    return result >= REPLY_STATE_DIM && result <= REPLY_IMAGE_EXT;
}

void COstra::stop()
{
    running = false;
    m_stopping = true;
    MutexLocker lock(mutex);
    infos.clear();
}

void* COstra::PollThread(void* argument)
{
    auto* link = static_cast<COstra*>(argument);
    platform::nameCurrentThread("ostra-link");
    OstraInfo working;
    working.ip = link->ip;
    working.port = link->port;
    const QByteArray address = working.ip.toLatin1();
    net::startup();
    while (link->running) {
        bool idle;
        {
            MutexLocker lock(link->mutex);
            idle = link->infos.empty();
        }
        if (idle) {
            working.data.clear();
            const int result = DeviceRequest(address.constData(), working.port, REQUEST_POLL,
                                             working.data, working.extra, link->m_stopping);
            working.status = result > 0 ? result : DEVICE_DATA_RECV_FAIL;
            working.queuedAtMs = linkClockMs();
            {
                MutexLocker lock(link->mutex);
                if (!link->running)
                    break;
                link->infos.push_back(working);
            }
            if (isPictureReply(working.status) && link->onPictureQueued)
                link->onPictureQueued();
        }
        std::this_thread::sleep_for(kLoopSleep);
    }
    net::cleanup();
    link->m_finished = true;
    return nullptr;
}
