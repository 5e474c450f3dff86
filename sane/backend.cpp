// The SANE entry points of the Ostra camera. The dll meta-backend looks them up under the
// backend's name (sane_ostra_init, ...); only those are exported (see exports.map).
//
// A session runs from the first sane_start to sane_cancel: it holds the notification port
// and queues every picture saved meanwhile, so that a batch loses none between frames.
// When a picture has been saved before, the first frame of a session returns from
// sane_start at once, announcing that picture's size, and waits in sane_read in short
// slices: simple-scan and XSane call nothing else on that thread while a call runs, so
// their Stop is seen between two reads. Otherwise, and for later frames, the wait is in
// sane_start, where batch frontends expect the end of documents.

#include "common/settings.h"
#include "imaging/picturefile.h"
#include "sane/debug.h"
#include "sane/frame.h"
#include "sane/notice.h"

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#define OSTRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace ostra;
using Clock = std::chrono::steady_clock;

constexpr int kBuild = 1;
constexpr SANE_Int kDefaultWaitSeconds = 60;
// Most frontends show, print and save 8-bit samples (simple-scan shows 16-bit grey as
// white, JPEG has no 16 bits); 16 is there for those that keep the camera's full range.
constexpr SANE_Int kDefaultDepth = 8;
// The saved pictures carry no physical size, and every reader of such a file takes it as
// 72 pixels per inch: frontends that write this value agree with Imagra's own file.
constexpr SANE_Int kResolution = 72;
// The longest a blocking sane_read waits for the first frame's picture before it returns
// no bytes, so that a Stop asked for between two reads is seen this soon.
constexpr auto kReadSlice = std::chrono::milliseconds(100);
// How long sane_start retries a held port: simple-scan answers "busy" by starting again at
// once, and a scan that was just killed may still be releasing it.
constexpr auto kBusyRetry = std::chrono::milliseconds(100);
constexpr char kDeviceName[] = "camera";

enum Option
{
    OptionCount,
    OptionMode,
    OptionDepth,
    OptionResolution,
    OptionWait,
    OptionLastPicture,
    OptionsTotal
};

const SANE_String_Const kModes[] = {SANE_VALUE_SCAN_MODE_GRAY, SANE_VALUE_SCAN_MODE_COLOR, nullptr};
const SANE_Word kDepths[] = {2, 8, 16};
const SANE_Word kResolutions[] = {1, kResolution};
const SANE_Range kWaitRange = {1, 3600, 1};

template<typename T>
SANE_String_Const const* constraintOf(const T* list)
{
    return reinterpret_cast<SANE_String_Const const*>(list);
}

constexpr SANE_Int kSettable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

const SANE_Option_Descriptor kOptions[OptionsTotal] = {
    {SANE_NAME_NUM_OPTIONS,
     SANE_TITLE_NUM_OPTIONS,
     SANE_DESC_NUM_OPTIONS,
     SANE_TYPE_INT,
     SANE_UNIT_NONE,
     sizeof(SANE_Word),
     SANE_CAP_SOFT_DETECT,
     SANE_CONSTRAINT_NONE,
     {nullptr}},
    {SANE_NAME_SCAN_MODE,
     SANE_TITLE_SCAN_MODE,
     "Grey as the camera takes its pictures, or colour (grey then repeated in red, green and "
     "blue).",
     SANE_TYPE_STRING,
     SANE_UNIT_NONE,
     sizeof(SANE_VALUE_SCAN_MODE_COLOR),
     kSettable,
     SANE_CONSTRAINT_STRING_LIST,
     {kModes}},
    {SANE_NAME_BIT_DEPTH,
     SANE_TITLE_BIT_DEPTH,
     "Bits per sample. 16-bit pictures go to 8 bits as (v + 128) / 257, 8-bit pictures to 16 "
     "bits as v * 257.",
     SANE_TYPE_INT,
     SANE_UNIT_BIT,
     sizeof(SANE_Word),
     kSettable,
     SANE_CONSTRAINT_WORD_LIST,
     {constraintOf(kDepths)}},
    {SANE_NAME_SCAN_RESOLUTION,
     SANE_TITLE_SCAN_RESOLUTION,
     "The pictures carry no physical size; 72 dpi is what readers of the saved file assume.",
     SANE_TYPE_INT,
     SANE_UNIT_DPI,
     sizeof(SANE_Word),
     kSettable,
     SANE_CONSTRAINT_WORD_LIST,
     {constraintOf(kResolutions)}},
    {"wait",
     "Wait for a picture (seconds)",
     "How many seconds a scan waits for the acquisition program to save the next picture.",
     SANE_TYPE_INT,
     SANE_UNIT_NONE,
     sizeof(SANE_Word),
     kSettable,
     SANE_CONSTRAINT_RANGE,
     {constraintOf(&kWaitRange)}},
    {"last-picture",
     "Deliver the last saved picture now",
     "Hand over the picture the acquisition program saved last instead of waiting for the "
     "next one.",
     SANE_TYPE_BOOL,
     SANE_UNIT_NONE,
     sizeof(SANE_Word),
     kSettable,
     SANE_CONSTRAINT_NONE,
     {nullptr}},
};

const SANE_Device kDevice = {kDeviceName, "Quorvane", "Ostra", "intra-oral camera"};
const SANE_Device* const kDeviceList[] = {&kDevice, nullptr};

// The size of the last saved picture, decoded once per version of the file.
struct LastPicture
{
    QString path;
    qint64 size = -1;
    QDateTime modified;
    int columns = 0;
    int rows = 0;
};

struct Camera final
{
    SANE_Word waitSeconds = kDefaultWaitSeconds;
    SANE_Bool lastPicture = SANE_FALSE;
    SANE_Word depth = kDefaultDepth;
    bool color = false;
    LastPicture last;
    WakeLine wake;

    // The session, from the first sane_start to sane_cancel.
    std::unique_ptr<NoticeListener> listener;
    // A picture that came at another size than its frame announced: the next frame's, at its
    // own size, so that a save made meanwhile does not take its place; only within the wait
    // of its coming, since a scan much later may be another patient's.
    std::optional<Notice> held;
    Clock::time_point heldAt;
    int pagesDelivered = 0;

    // The frame from sane_start to its end of file.
    bool inFrame = false;
    bool pending = false; // its picture has not come; the parameters are the announced ones
    Clock::time_point deadline;
    Frame frame;
    std::size_t delivered = 0;

    FrameKind kind() const { return {color, depth}; }
    bool scanning() const { return inFrame && !wake.woken(); }
};

// The shared file unless ostra.conf names another with a "config PATH" line.
QString configFile;

// ostra.conf is looked for as SANE's own backends look: in the folders of SANE_CONFIG_DIR
// (a trailing colon appends the system folder), else in the system folder.
QString findBackendConfig()
{
    const QString systemFolder = QStringLiteral(OSTRA_SANE_CONFIG_DIR);
    QString folders = QString::fromLocal8Bit(qgetenv("SANE_CONFIG_DIR"));
    if (folders.isEmpty())
        folders = systemFolder;
    else if (folders.endsWith(QLatin1Char(':')))
        folders += systemFolder;
    for (const QString& folder : folders.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString path = folder + QStringLiteral("/ostra.conf");
        if (QFile::exists(path))
            return path;
    }
    return {};
}

QString chooseConfigFile()
{
    const QString backendConfig = findBackendConfig();
    QFile file(backendConfig);
    if (!backendConfig.isEmpty() && file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("config ")))
                return line.mid(7).trimmed();
        }
    }
    return configFilePath();
}

QString picturePath()
{
    return readSettingAt(configFile, QStringLiteral("IMAHE/ImageScanPth"));
}

// Runs on the listener's thread as well as the frontend's.
bool readPicture(Notice& notice)
{
    const QString path = picturePath();
    notice.path = path.toLocal8Bit().toStdString();
    QString error;
    if (readPictureFile(path, notice.bytes, error))
        return true;
    notice.error = "picture \"" + notice.path + "\" from \"IMAHE/ImageScanPth\" in " +
                   configFile.toLocal8Bit().toStdString() + ": " +
                   error.toLocal8Bit().toStdString();
    return false;
}

SANE_Status frameFromNotice(const Notice& notice, FrameKind kind, Frame& frame)
{
    if (notice.bytes.empty()) {
        debug(1, "%s", notice.error.c_str());
        return SANE_STATUS_IO_ERROR;
    }
    const cv::Mat picture = decodePictureAsStored(notice.bytes);
    if (picture.empty()) {
        debug(1, "picture \"%s\": %zu bytes that do not decode (broken, cut off or too large)",
              notice.path.c_str(), notice.bytes.size());
        return SANE_STATUS_IO_ERROR;
    }
    std::string why;
    if (!frameFromPicture(picture, kind, frame, why)) {
        debug(1, "picture \"%s\": %s", notice.path.c_str(), why.c_str());
        return SANE_STATUS_IO_ERROR;
    }
    const SANE_Parameters& p = frame.parameters;
    debug(3, "picture \"%s\": %d x %d, handed over as %s, depth %d", notice.path.c_str(),
          p.pixels_per_line, p.lines, p.format == SANE_FRAME_GRAY ? "grey" : "RGB", p.depth);
    return SANE_STATUS_GOOD;
}

// The parameters the last saved picture would have as a frame; false when there is none.
bool announcedParameters(Camera& camera, SANE_Parameters& parameters)
{
    LastPicture& last = camera.last;
    const QString path = picturePath();
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return false;
    if (path != last.path || info.size() != last.size || info.lastModified() != last.modified) {
        Notice file;
        last = LastPicture{path, info.size(), info.lastModified()};
        const cv::Mat picture = readPicture(file) ? decodePictureAsStored(file.bytes) : cv::Mat();
        last.columns = picture.cols;
        last.rows = picture.rows;
    }
    if (last.columns <= 0 || last.rows <= 0)
        return false;
    parameters = frameParameters(last.columns, last.rows, camera.kind());
    return true;
}

// However the frame ended: its picture is not kept until the next one.
void endFrame(Camera& camera)
{
    camera.inFrame = camera.pending = false;
    camera.frame = Frame();
}

// Forgets the session that sane_cancel ended: sane_cancel itself may run in a signal
// handler, so the listener is joined here, on the frontend's next call.
void endCancelledSession(Camera& camera)
{
    if (!camera.wake.woken())
        return;
    camera.listener.reset();
    camera.pagesDelivered = 0;
    camera.wake.reset();
}

// Nothing more comes. After a page of this session that is the end of the documents, as an
// automatic feeder ends a batch; before any page the scan was given up, not failed: no
// document or device is missing, and frontends end a cancelled scan quietly.
SANE_Status endOfPictures(const Camera& camera, const char* why)
{
    if (camera.pagesDelivered > 0) {
        debug(3, "%s after %d pictures: end of documents", why, camera.pagesDelivered);
        return SANE_STATUS_NO_DOCS;
    }
    debug(1, "%s: scan given up", why);
    return SANE_STATUS_CANCELLED;
}

SANE_Status endOfWait(Camera& camera, NoticeListener::Wait wait, const Notice& notice)
{
    char why[80];
    switch (wait) {
    case NoticeListener::Wait::Cancelled:
        debug(3, "scan cancelled");
        return SANE_STATUS_CANCELLED;
    case NoticeListener::Wait::TimedOut:
        std::snprintf(why, sizeof why, "no picture came within %d s", int(camera.waitSeconds));
        return endOfPictures(camera, why);
    case NoticeListener::Wait::Failed:
        return SANE_STATUS_IO_ERROR;
    case NoticeListener::Wait::Taken:
        break;
    }
    if (notice.closing)
        return endOfPictures(camera, "the acquisition program closed (\"1000\")");
    return frameFromNotice(notice, camera.kind(), camera.frame);
}

SANE_Status startSession(Camera& camera)
{
    const QString portText = readSettingAt(configFile, QStringLiteral("UDP/Port"));
    bool ok = false;
    const int port = portText.toInt(&ok, 10);
    if (!ok || port < 1 || port > 65535) {
        debug(1, "\"UDP/Port\" in %s is \"%s\", not a port", qPrintable(configFile),
              qPrintable(portText));
        return SANE_STATUS_INVAL;
    }
    auto listener = std::make_unique<NoticeListener>(camera.wake, readPicture);
    const auto giveUp = Clock::now() + kBusyRetry;
    while (!listener->listen(port)) {
        const int error = errno;
        if (error == EADDRINUSE && Clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        debug(1, "cannot listen on 127.0.0.1:%d: %s", port, std::strerror(error));
        if (error != EADDRINUSE)
            return SANE_STATUS_IO_ERROR;
        debug(1, "UDP port %d is held by another data source or scan", port);
        return SANE_STATUS_DEVICE_BUSY;
    }
    debug(3, "listening on 127.0.0.1:%d", port);
    camera.listener = std::move(listener);
    return SANE_STATUS_GOOD;
}

SANE_Status startFrame(Camera& camera)
{
    if (camera.lastPicture) {
        // One picture per session: a batch of the last picture ends after it.
        if (camera.pagesDelivered > 0)
            return endOfPictures(camera, "the last picture was handed over");
        Notice file;
        readPicture(file);
        return endOfWait(camera, NoticeListener::Wait::Taken, file);
    }
    if (!camera.listener) {
        const SANE_Status status = startSession(camera);
        if (status != SANE_STATUS_GOOD)
            return status;
    }
    if (camera.held) {
        const Notice notice = std::move(*camera.held);
        camera.held.reset();
        if (Clock::now() - camera.heldAt <= std::chrono::seconds(camera.waitSeconds))
            return endOfWait(camera, NoticeListener::Wait::Taken, notice);
        debug(1, "the picture of an earlier scan came more than %d s ago: not handed over",
              camera.waitSeconds);
    }
    Notice notice;
    auto wait = camera.listener->next(Clock::now(), notice);
    if (wait == NoticeListener::Wait::TimedOut && camera.pagesDelivered == 0 &&
        announcedParameters(camera, camera.frame.parameters)) {
        debug(3, "picture awaited in sane_read, announced as %d x %d",
              camera.frame.parameters.pixels_per_line, camera.frame.parameters.lines);
        camera.pending = true;
        return SANE_STATUS_GOOD;
    }
    if (wait == NoticeListener::Wait::TimedOut) {
        debug(3, "picture awaited in sane_start");
        wait = camera.listener->next(camera.deadline, notice);
    }
    return endOfWait(camera, wait, notice);
}

// Waits one slice for the pending frame's picture; GOOD while it is still to come.
SANE_Status awaitPicture(Camera& camera)
{
    Notice notice;
    const auto wait =
        camera.listener->next(std::min(camera.deadline, Clock::now() + kReadSlice), notice);
    if (wait == NoticeListener::Wait::TimedOut && Clock::now() < camera.deadline)
        return SANE_STATUS_GOOD;
    const SANE_Parameters announced = camera.frame.parameters;
    const SANE_Status status = endOfWait(camera, wait, notice);
    if (status != SANE_STATUS_GOOD)
        return status;
    const SANE_Parameters& p = camera.frame.parameters;
    if (p.pixels_per_line != announced.pixels_per_line || p.lines != announced.lines) {
        debug(1,
              "the picture that came is %d x %d, the scan announced %d x %d (the last saved "
              "picture's size): a scan within %d s hands it over",
              p.pixels_per_line, p.lines, announced.pixels_per_line, announced.lines,
              camera.waitSeconds);
        camera.held = std::move(notice);
        camera.heldAt = Clock::now();
        return SANE_STATUS_IO_ERROR;
    }
    camera.pending = false;
    return SANE_STATUS_GOOD;
}

} // namespace

OSTRA_EXPORT SANE_Status sane_ostra_init(SANE_Int* version, SANE_Auth_Callback)
{
    initDebug();
    if (version)
        *version = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, kBuild);
    configFile = chooseConfigFile();
    debug(3, "configuration file %s", qPrintable(configFile));
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT void sane_ostra_exit() {}

OSTRA_EXPORT SANE_Status sane_ostra_get_devices(const SANE_Device*** list, SANE_Bool)
{
    // The camera reaches the PC through the acquisition program, so it is always there.
    *list = const_cast<const SANE_Device**>(kDeviceList);
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT SANE_Status sane_ostra_open(SANE_String_Const name, SANE_Handle* handle)
{
    if (name && name[0] != '\0' && std::strcmp(name, kDeviceName) != 0)
        return SANE_STATUS_INVAL;
    auto camera = std::make_unique<Camera>();
    if (!camera->wake.valid())
        debug(1, "no wake-up pipe; a cancel is seen only between two waits");
    *handle = camera.release();
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT void sane_ostra_close(SANE_Handle handle)
{
    auto* camera = static_cast<Camera*>(handle);
    camera->wake.wake();
    delete camera;
}

OSTRA_EXPORT const SANE_Option_Descriptor* sane_ostra_get_option_descriptor(SANE_Handle,
                                                                            SANE_Int option)
{
    return option >= 0 && option < OptionsTotal ? &kOptions[option] : nullptr;
}

OSTRA_EXPORT SANE_Status sane_ostra_control_option(SANE_Handle handle, SANE_Int option,
                                                   SANE_Action action, void* value, SANE_Int* info)
{
    auto* camera = static_cast<Camera*>(handle);
    if (info)
        *info = 0;
    if (option < 0 || option >= OptionsTotal || !value)
        return SANE_STATUS_INVAL;
    auto* word = static_cast<SANE_Word*>(value);
    SANE_Word resolution = kResolution;
    SANE_Word* setting = option == OptionDepth         ? &camera->depth
                         : option == OptionResolution  ? &resolution
                         : option == OptionWait        ? &camera->waitSeconds
                         : option == OptionLastPicture ? &camera->lastPicture
                                                       : nullptr;
    if (action == SANE_ACTION_GET_VALUE) {
        if (option == OptionMode)
            std::strcpy(static_cast<char*>(value), kModes[camera->color ? 1 : 0]);
        else
            *word = setting ? *setting : OptionsTotal;
        return SANE_STATUS_GOOD;
    }
    if (action != SANE_ACTION_SET_VALUE || option == OptionCount)
        return SANE_STATUS_INVAL;
    if (camera->scanning())
        return SANE_STATUS_DEVICE_BUSY;
    if (option == OptionMode) {
        const auto* text = static_cast<const char*>(value);
        if (std::strcmp(text, kModes[0]) != 0 && std::strcmp(text, kModes[1]) != 0)
            return SANE_STATUS_INVAL;
        camera->color = std::strcmp(text, SANE_VALUE_SCAN_MODE_COLOR) == 0;
    } else if (option == OptionDepth || option == OptionResolution) {
        const SANE_Word* list = option == OptionDepth ? kDepths : kResolutions;
        if (std::find(list + 1, list + 1 + list[0], *word) == list + 1 + list[0])
            return SANE_STATUS_INVAL;
        *setting = *word;
    } else if (option == OptionWait) {
        *setting = std::clamp(*word, kWaitRange.min, kWaitRange.max);
        if (*setting != *word && info)
            *info |= SANE_INFO_INEXACT;
        *word = *setting;
    } else {
        if (*word != SANE_FALSE && *word != SANE_TRUE)
            return SANE_STATUS_INVAL;
        *setting = *word;
    }
    if (info && (option == OptionMode || option == OptionDepth))
        *info |= SANE_INFO_RELOAD_PARAMS;
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT SANE_Status sane_ostra_get_parameters(SANE_Handle handle, SANE_Parameters* parameters)
{
    auto* camera = static_cast<Camera*>(handle);
    if (!parameters)
        return SANE_STATUS_INVAL;
    if (camera->scanning()) {
        *parameters = camera->frame.parameters;
    } else if (!announcedParameters(*camera, *parameters)) {
        // Nothing saved yet: the kind is known, the size comes with the first picture.
        *parameters = frameParameters(0, 0, camera->kind());
        parameters->lines = -1;
    }
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT SANE_Status sane_ostra_start(SANE_Handle handle)
{
    auto* camera = static_cast<Camera*>(handle);
    endCancelledSession(*camera);
    endFrame(*camera);
    camera->delivered = 0;
    camera->deadline = Clock::now() + std::chrono::seconds(camera->waitSeconds);
    const SANE_Status status = startFrame(*camera);
    if (status == SANE_STATUS_GOOD)
        camera->inFrame = true;
    else
        endFrame(*camera);
    return status;
}

OSTRA_EXPORT SANE_Status sane_ostra_read(SANE_Handle handle, SANE_Byte* data, SANE_Int maxLength,
                                         SANE_Int* length)
{
    auto* camera = static_cast<Camera*>(handle);
    *length = 0;
    if (camera->wake.woken()) {
        if (camera->inFrame)
            debug(3, "scan cancelled");
        endFrame(*camera);
        return SANE_STATUS_CANCELLED;
    }
    if (!camera->inFrame)
        return SANE_STATUS_INVAL;
    if (camera->pending) {
        const SANE_Status status = awaitPicture(*camera);
        if (status != SANE_STATUS_GOOD) {
            endFrame(*camera);
            return status;
        }
        if (camera->pending)
            return SANE_STATUS_GOOD;
    }
    const std::size_t left = camera->frame.bytes.size() - camera->delivered;
    if (left == 0) {
        endFrame(*camera);
        ++camera->pagesDelivered;
        return SANE_STATUS_EOF;
    }
    const std::size_t chunk = std::min(left, std::size_t(std::max(maxLength, 0)));
    std::memcpy(data, camera->frame.bytes.data() + camera->delivered, chunk);
    camera->delivered += chunk;
    *length = SANE_Int(chunk);
    return SANE_STATUS_GOOD;
}

// Frontends call this from signal handlers and other threads: it only wakes the waits, and
// the listener frees the port on its way out.
OSTRA_EXPORT void sane_ostra_cancel(SANE_Handle handle)
{
    static_cast<Camera*>(handle)->wake.wake();
}

OSTRA_EXPORT SANE_Status sane_ostra_set_io_mode(SANE_Handle, SANE_Bool nonBlocking)
{
    return nonBlocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

OSTRA_EXPORT SANE_Status sane_ostra_get_select_fd(SANE_Handle, SANE_Int*)
{
    return SANE_STATUS_UNSUPPORTED;
}
