#include "acquisition/picturepipeline.h"

#include "imaging/cvs.h"
#include "imaging/picturefile.h"
#include "platform/thread.h"
#include "quorimage/quorimage.h"

#include <QLoggingCategory>
#include <QMetaObject>

#include <opencv2/imgproc.hpp>

#include <algorithm>

Q_LOGGING_CATEGORY(lcPipeline, "ostra.pipeline", QtInfoMsg)

namespace {

constexpr int kBarWidth = 10;
constexpr int kBarHeight = 200;

// What the exception in flight says; only inside a catch block.
QString describeException()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("an exception of unknown type");
    }
}

cv::Mat enhance(const cv::Mat& source, int mode)
{
    if (mode == 0)
        return source;
    return mode == 1 ? quor_Fine(source) : quor_HD(source);
}

} // namespace

PicturePipeline::PicturePipeline(QSize label, QObject* parent) : QObject(parent), m_label(label)
{
    qRegisterMetaType<PicturePipeline::Shown>();
    m_worker = std::thread([this] {
        platform::nameCurrentThread("ostra-pictures");
        work();
    });
    m_writer = std::thread([this] {
        platform::nameCurrentThread("ostra-saves");
        write();
    });
}

PicturePipeline::~PicturePipeline()
{
    stop();
}

void PicturePipeline::stop()
{
    if (m_stopped)
        return;
    m_closing = true;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_worker.join();
    m_writer.join();
    // Told before the caller goes on to say it closes: every save that was written.
    deliverReports();
    m_stopped = true;
}

void PicturePipeline::queueStep(std::function<void()> step)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        m_steps.push_back(std::move(step));
    }
    m_wake.notify_all();
}

void PicturePipeline::queueSave(Save save)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // The newer picture would overwrite the same file at once: the waiting one need not
        // be written first, and what waits stays bounded however slow the disk is.
        const auto waiting = std::find_if(m_saves.begin(), m_saves.end(),
                                          [&](const Save& s) { return s.path == save.path; });
        if (waiting != m_saves.end()) {
            save.endsPictures += waiting->endsPictures;
            *waiting = std::move(save);
        } else {
            m_saves.push_back(std::move(save));
        }
        m_mostSavesWaiting = std::max(m_mostSavesWaiting, int(m_saves.size()));
    }
    m_wake.notify_all();
}

int PicturePipeline::mostSavesWaiting() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_mostSavesWaiting;
}

void PicturePipeline::picturesDone(int count)
{
    m_picturesInWork -= count;
    if (count > 0 && m_picturesInWork == 0 && !m_closing)
        emit readyForPicture();
}

void PicturePipeline::post(std::function<void()> report)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(std::move(report));
    }
    // Called by name, so that Qt builds the call event inside the library; the report
    // itself crosses under our lock, where ThreadSanitizer sees the hand-over.
    QMetaObject::invokeMethod(this, "deliverReports", Qt::QueuedConnection);
}

void PicturePipeline::deliverReports()
{
    std::deque<std::function<void()>> reports;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        reports.swap(m_reports);
    }
    for (const auto& report : reports) {
        if (m_stopped)
            return;
        report();
    }
}

void PicturePipeline::work()
{
    for (;;) {
        std::function<void()> step;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_steps.empty(); });
            // A stop finishes the pictures already handed over: they are not asked for again.
            if (m_steps.empty()) {
                m_workerDone = true;
                m_wake.notify_all();
                return;
            }
            step = std::move(m_steps.front());
            m_steps.pop_front();
        }
        try {
            step();
        } catch (...) {
            // A step that is no picture's (a mode, a turn, a save asked for): what is shown
            // stays as it was.
            qCWarning(lcPipeline) << "A picture step failed:" << describeException();
            post([this] { emit failed(); });
        }
    }
}

void PicturePipeline::write()
{
    for (;;) {
        Save save;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_workerDone || !m_saves.empty(); });
            if (m_saves.empty())
                return;
            save = std::move(m_saves.front());
            m_saves.pop_front();
        }
        // Taken up, the save no longer waits: the next picture may be processed meanwhile.
        if (save.endsPictures > 0)
            post([this, count = save.endsPictures] { picturesDone(count); });
        QString error;
        bool written = false;
        try {
            written = writePictureFile(save.picture, save.path, error);
        } catch (...) {
            error = describeException();
        }
        if (written) {
            post([this, at = save.queuedAtMs] { emit saved(at); });
        } else {
            qCWarning(lcPipeline) << "Picture not saved to" << save.path << ":" << error;
            post([this, path = save.path, error] { emit saveFailed(path, error); });
        }
    }
}

void PicturePipeline::addPicture(std::vector<unsigned char> bytes, qint64 queuedAtMs, bool autoSave,
                                 const QString& path)
{
    // A std::function must be copyable, so the bytes travel behind a shared pointer.
    auto shared = std::make_shared<std::vector<unsigned char>>(std::move(bytes));
    ++m_picturesInWork;
    m_mostPicturesInWork = std::max(m_mostPicturesInWork, m_picturesInWork);
    queueStep([this, shared, queuedAtMs, autoSave, path] {
        process(*shared, queuedAtMs, autoSave, path);
    });
}

void PicturePipeline::process(const std::vector<unsigned char>& bytes, qint64 queuedAtMs,
                              bool autoSave, const QString& path)
{
    // Until its showing or its save takes that over, a failure ends the picture's work;
    // until it shows, the picture on screen stays the one that turns and saves.
    bool presented = false;
    const cv::Mat shownSource = m_source, shownCurrent = m_current;
    const int shownModeSerial = m_currentModeSerial;
    try {
        const cv::Mat decoded = decodePicture(bytes);
        int level = 0;
        const cv::Mat initialised = decoded.empty() ? cv::Mat() : quor_InitOstraImg(decoded, level);
        if (decoded.empty()) {
            qCWarning(lcPipeline) << "Received" << bytes.size() << "bytes that are no picture";
        } else if (initialised.empty()) {
            qCWarning(lcPipeline) << "Picture of type" << decoded.type()
                                  << "could not be initialised";
        } else {
            m_source = initialised;
            enhanceInLatestMode();
            const cv::Mat bar = drawLuminanceBar(level, kBarWidth, kBarHeight);
            present(CVS::cvMatToQImage(bar).copy(), !autoSave);
            presented = true;
            if (autoSave)
                queueSave({m_current, path, queuedAtMs, 1});
            return;
        }
    } catch (...) {
        // Out of memory in a step, or any other fault, ends this picture only.
        qCWarning(lcPipeline) << "Picture of" << bytes.size()
                              << "bytes not processed:" << describeException();
        if (!presented) {
            m_source = shownSource;
            m_current = shownCurrent;
            m_currentModeSerial = shownModeSerial;
        }
    }
    post([this, inWork = !presented || autoSave] {
        picturesDone(int(inWork));
        emit failed();
    });
}

void PicturePipeline::enhanceInLatestMode()
{
    // A mode asked for while this picture was in work is the mode it lands in, also in its
    // save: enhance again until no newer mode came meanwhile.
    for (;;) {
        int mode, serial;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            mode = m_mode;
            serial = m_modeSerial;
        }
        m_current = enhance(m_source, mode);
        m_currentModeSerial = serial;
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (serial == m_modeSerial)
            break;
    }
}

void PicturePipeline::setMode(int mode)
{
    int serial;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_mode = mode;
        serial = ++m_modeSerial;
    }
    queueStep([this, mode, serial] {
        if (m_source.empty() || m_currentModeSerial >= serial)
            return;
        m_current = enhance(m_source, mode);
        m_currentModeSerial = serial;
        present(QImage());
    });
}

void PicturePipeline::orient(Orientation operation, int argument)
{
    int modeSerial;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        modeSerial = m_modeSerial;
    }
    queueStep([this, operation, argument, modeSerial] {
        // A mode asked for after this turn starts again from the source and drops the turn;
        // the picture may already have taken that mode when it landed.
        if (m_current.empty() || modeSerial < m_currentModeSerial)
            return;
        const cv::Mat turned = operation(m_current, argument);
        if (turned.empty())
            return;
        m_current = turned;
        present(QImage());
    });
}

void PicturePipeline::save(const QString& path)
{
    queueStep([this, path] {
        if (!m_current.empty())
            queueSave({m_current, path, -1});
    });
}

void PicturePipeline::present(const QImage& bar, bool pictureDone)
{
    // Reduced before it becomes a QImage: area interpolation of the full picture costs a
    // fraction of Qt's smooth scaling of it.
    const QSize fit = QSize(m_current.cols, m_current.rows)
                          .scaled(m_label, Qt::KeepAspectRatio)
                          .expandedTo(QSize(1, 1));
    // Area interpolation has a fast path for whole factors: most of the way is taken there,
    // over a crop of under `factor` pixels per edge, and only the small rest in general.
    const int factor = std::min(m_current.cols / fit.width(), m_current.rows / fit.height());
    cv::Mat reduced = m_current;
    if (factor >= 2) {
        const cv::Size whole(m_current.cols / factor, m_current.rows / factor);
        cv::resize(m_current(cv::Rect(0, 0, whole.width * factor, whole.height * factor)), reduced,
                   whole, 0, 0, cv::INTER_AREA);
    }
    cv::resize(reduced, reduced, cv::Size(fit.width(), fit.height()), 0, 0, cv::INTER_AREA);
    const QImage picture = CVS::cvMatToQImage(reduced).convertToFormat(QImage::Format_RGB32);
    Shown state{m_source, m_current, picture, bar};
    post([this, state, pictureDone] {
        picturesDone(int(pictureDone));
        emit shown(state);
    });
}

cv::Mat PicturePipeline::drawLuminanceBar(int level, int width, int height)
{
    if (level < 1)
        level = 1;
    if (level > 100)
        level = 99;
    cv::Mat bar(height, width, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::Scalar colour(37, 45, 186); // red: too dark or too bright
    if ((level >= 21 && level <= 40) || (level >= 61 && level <= 80))
        colour = cv::Scalar(0, 149, 254); // orange
    else if (level >= 41 && level <= 60)
        colour = cv::Scalar(64, 201, 39); // green
    const int filled = height * level / 100;
    if (filled > 0) {
        cv::Mat fill(filled, width, CV_8UC3, colour);
        fill.copyTo(bar(cv::Rect(0, height - filled, width, filled)));
    }
    return bar;
}
