#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

#include <opencv2/core.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The acquisition window's picture work, off the GUI thread. One worker decodes,
// initialises, enhances, turns and reduces the pictures to the label's size, step by step
// in the order the steps were asked for; a second thread encodes and writes the saves in
// the order the worker reached them. Results come back as signals on the GUI thread. No
// exception leaves either thread: one in a picture's work is told as failed(), one in a
// save as saveFailed().
class PicturePipeline final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PicturePipeline)

public:
    using Orientation = cv::Mat (*)(cv::Mat, int);

    // One state of the picture on screen.
    struct Shown
    {
        cv::Mat source;  // initialised, before the mode
        cv::Mat current; // after the mode and the turns since
        QImage picture;  // current, reduced to the label's size
        QImage bar;      // the luminance bar of a new picture; null after a mode or a turn
    };

    // Pictures are reduced to fit label, their aspect kept.
    explicit PicturePipeline(QSize label, QObject* parent = nullptr);
    // Stops both threads.
    ~PicturePipeline() override;

    // A picture as received; queuedAtMs (when the link queued it, see linkClockMs()) comes
    // back with its save. With autoSave, it is saved to path once shown, and stays in work
    // until the writer takes its save up.
    void addPicture(std::vector<unsigned char> bytes, qint64 queuedAtMs, bool autoSave,
                    const QString& path);
    // From now on pictures are enhanced in mode; the newest picture is enhanced anew from its
    // source, its turns dropped, unless it was already enhanced in this mode after the call.
    void setMode(int mode);
    // Turns or mirrors the newest picture; nothing without a picture.
    void orient(Orientation operation, int argument);
    // Saves the newest picture as it stands once the steps asked before are done; nothing
    // without a picture. A newer save to the same file takes the place of one still waiting
    // for the writer, which would only be overwritten: at most one save per file waits.
    void save(const QString& path);
    // Takes no more steps, finishes those asked for (a picture handed over is never lost),
    // joins both threads and emits what they did; no signal is emitted afterwards.
    void stop();
    // Whether another picture is welcome now: only when none is in work (readyForPicture()
    // says when that becomes so). A picture left with its link holds the scanner's next one
    // back (the link polls again only once it is taken), so pictures do not pile up here
    // for a close to finish, and a save is never more than one picture behind the screen.
    bool wantsPicture() const { return !m_closing && m_picturesInWork == 0; }
    // The most pictures ever in work at once, and the most saves ever waiting for the writer.
    int mostPicturesInWork() const { return m_mostPicturesInWork; }
    int mostSavesWaiting() const;

    // The bar for a luminance level: width x height, 8-bit BGR, filled from the bottom.
    static cv::Mat drawLuminanceBar(int level, int width, int height);

signals:
    void shown(const PicturePipeline::Shown& state);
    // The last picture in work is done with; not while stopping.
    void readyForPicture();
    // The bytes were no picture, the picture could not be initialised, or a step of its
    // work (or of a mode, a turn) failed, out of memory for one.
    void failed();
    // queuedAtMs as given with the picture, or -1 for a save asked by the user.
    void saved(qint64 queuedAtMs);
    void saveFailed(const QString& path, const QString& error);

private slots:
    void deliverReports();

private:
    struct Save
    {
        cv::Mat picture;
        QString path;
        qint64 queuedAtMs = -1;
        int endsPictures = 0; // pictures in work that are done once the writer takes this up
    };

    void work();
    void write();
    void queueStep(std::function<void()> step);
    void queueSave(Save save);
    // Runs report on the GUI thread unless the pipeline has stopped by then.
    void post(std::function<void()> report);
    void process(const std::vector<unsigned char>& bytes, qint64 queuedAtMs, bool autoSave,
                 const QString& path);
    void enhanceInLatestMode();
    // Shows m_current: with bar, a new picture; pictureDone ends its work.
    void present(const QImage& bar, bool pictureDone = false);
    // On the GUI thread: count pictures are no longer in work.
    void picturesDone(int count);

    const QSize m_label;

    // The worker's own: only the worker touches these.
    cv::Mat m_source;
    cv::Mat m_current;
    int m_currentModeSerial = 0;

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_steps;
    std::deque<Save> m_saves;
    std::deque<std::function<void()>> m_reports; // for the GUI thread
    int m_mode = 0;
    int m_modeSerial = 0;
    int m_mostSavesWaiting = 0;
    bool m_stopping = false;
    bool m_workerDone = false;

    std::thread m_worker;
    std::thread m_writer;
    // GUI thread only.
    bool m_closing = false; // from the start of stop(): its reports must not ask for more
    bool m_stopped = false;
    int m_picturesInWork = 0;
    int m_mostPicturesInWork = 0;
};
Q_DECLARE_METATYPE(PicturePipeline::Shown)
