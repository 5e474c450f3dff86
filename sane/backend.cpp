// The SANE entry points of the Ostra camera. The dll meta-backend looks them up under the
// backend's name (sane_ostra_init, ...); only those are exported (see exports.map).

#include "common/settings.h"
#include "imaging/picturefile.h"
#include "sane/debug.h"
#include "sane/frame.h"
#include "sane/notice.h"

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <QFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#define OSTRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace ostra;

constexpr int kBuild = 1;
constexpr SANE_Int kDefaultWaitSeconds = 60;
constexpr char kDeviceName[] = "camera";

enum Option
{
    OptionCount,
    OptionWait,
    OptionLastPicture,
    OptionsTotal
};

const SANE_Range kWaitRange = {1, 3600, 1};

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
    {"wait",
     "Wait for a picture (seconds)",
     "How many seconds a scan waits for the acquisition program to save the next picture.",
     SANE_TYPE_INT,
     SANE_UNIT_NONE,
     sizeof(SANE_Word),
     SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT,
     SANE_CONSTRAINT_RANGE,
     {reinterpret_cast<const SANE_String_Const*>(&kWaitRange)}},
    {"last-picture",
     "Deliver the last saved picture now",
     "Hand over the picture the acquisition program saved last instead of waiting for the "
     "next one.",
     SANE_TYPE_BOOL,
     SANE_UNIT_NONE,
     sizeof(SANE_Word),
     SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT,
     SANE_CONSTRAINT_NONE,
     {nullptr}},
};

const SANE_Device kDevice = {kDeviceName, "Quorvane", "Ostra", "intra-oral camera"};
const SANE_Device* const kDeviceList[] = {&kDevice, nullptr};

struct Camera final
{
    SANE_Word waitSeconds = kDefaultWaitSeconds;
    SANE_Bool lastPicture = SANE_FALSE;
    WakeLine wake;
    bool scanning = false;
    Frame frame;
    std::size_t delivered = 0;
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

SANE_Status statusOf(Notice notice, int port, int seconds)
{
    switch (notice) {
    case Notice::PictureSaved:
        return SANE_STATUS_GOOD;
    case Notice::ProgramClosing:
        // As a TWAIN source asks to be closed when its window closes: the acquisition
        // ended on the camera's side, and frontends end quietly on a cancel.
        debug(1, "the acquisition program closed (\"1000\") before a picture came");
        return SANE_STATUS_CANCELLED;
    case Notice::TimedOut:
        debug(1, "no picture came within %d s", seconds);
        return SANE_STATUS_NO_DOCS;
    case Notice::Cancelled:
        debug(3, "scan cancelled");
        return SANE_STATUS_CANCELLED;
    case Notice::PortInUse:
        debug(1, "UDP port %d is held by another data source or scan", port);
        return SANE_STATUS_DEVICE_BUSY;
    case Notice::Failed:
        break;
    }
    return SANE_STATUS_IO_ERROR;
}

SANE_Status loadPicture(Camera& camera)
{
    const QString path = readSettingAt(configFile, QStringLiteral("IMAHE/ImageScanPth"));
    const QByteArray shownPath = path.toLocal8Bit();
    std::vector<unsigned char> bytes;
    QString error;
    if (!readPictureFile(path, bytes, error)) {
        debug(1, "picture \"%s\" from \"IMAHE/ImageScanPth\" in %s: %s", shownPath.constData(),
              qPrintable(configFile), qPrintable(error));
        return SANE_STATUS_IO_ERROR;
    }
    const cv::Mat picture = decodePictureAsStored(bytes);
    if (picture.empty()) {
        debug(1, "picture \"%s\": %zu bytes that do not decode (broken, cut off or too large)",
              shownPath.constData(), bytes.size());
        return SANE_STATUS_IO_ERROR;
    }
    std::string why;
    if (!frameFromPicture(picture, camera.frame, why)) {
        debug(1, "picture \"%s\": %s", shownPath.constData(), why.c_str());
        return SANE_STATUS_IO_ERROR;
    }
    const SANE_Parameters& p = camera.frame.parameters;
    debug(3, "picture \"%s\": %d x %d, %s, depth %d", shownPath.constData(), p.pixels_per_line,
          p.lines, p.format == SANE_FRAME_GRAY ? "grey" : "RGB", p.depth);
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
        debug(1, "no wake-up pipe; a cancel from another thread waits for the scan's end");
    *handle = camera.release();
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT void sane_ostra_close(SANE_Handle handle)
{
    delete static_cast<Camera*>(handle);
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
    SANE_Word* setting = option == OptionWait          ? &camera->waitSeconds
                         : option == OptionLastPicture ? &camera->lastPicture
                                                       : nullptr;
    if (action == SANE_ACTION_GET_VALUE) {
        *word = setting ? *setting : OptionsTotal;
        return SANE_STATUS_GOOD;
    }
    if (action != SANE_ACTION_SET_VALUE || !setting)
        return SANE_STATUS_INVAL;
    if (camera->scanning)
        return SANE_STATUS_DEVICE_BUSY;
    SANE_Word wanted = *word;
    if (option == OptionWait)
        wanted = std::clamp(wanted, kWaitRange.min, kWaitRange.max);
    else if (wanted != SANE_FALSE && wanted != SANE_TRUE)
        return SANE_STATUS_INVAL;
    if (wanted != *word && info)
        *info |= SANE_INFO_INEXACT;
    *setting = *word = wanted;
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT SANE_Status sane_ostra_get_parameters(SANE_Handle handle, SANE_Parameters* parameters)
{
    const auto* camera = static_cast<const Camera*>(handle);
    if (!parameters)
        return SANE_STATUS_INVAL;
    *parameters = camera->frame.parameters;
    // Before a picture came its size is unknown: the camera's usual grey, length unknown.
    if (camera->frame.bytes.empty()) {
        *parameters = SANE_Parameters{SANE_FRAME_GRAY, SANE_TRUE, 0, 0, -1, 16};
    }
    return SANE_STATUS_GOOD;
}

OSTRA_EXPORT SANE_Status sane_ostra_start(SANE_Handle handle)
{
    auto* camera = static_cast<Camera*>(handle);
    camera->wake.reset();
    camera->scanning = false;
    camera->frame = Frame();
    camera->delivered = 0;
    if (!camera->lastPicture) {
        const QString portText = readSettingAt(configFile, QStringLiteral("UDP/Port"));
        bool ok = false;
        const int port = portText.toInt(&ok, 10);
        if (!ok || port < 1 || port > 65535) {
            debug(1, "\"UDP/Port\" in %s is \"%s\", not a port", qPrintable(configFile),
                  qPrintable(portText));
            return SANE_STATUS_INVAL;
        }
        const SANE_Status status = statusOf(waitForNotice(port, camera->waitSeconds, camera->wake),
                                            port, camera->waitSeconds);
        if (status != SANE_STATUS_GOOD)
            return status;
    }
    const SANE_Status status = loadPicture(*camera);
    if (status != SANE_STATUS_GOOD)
        camera->frame = Frame();
    camera->scanning = status == SANE_STATUS_GOOD;
    return status;
}

OSTRA_EXPORT SANE_Status sane_ostra_read(SANE_Handle handle, SANE_Byte* data, SANE_Int maxLength,
                                         SANE_Int* length)
{
    auto* camera = static_cast<Camera*>(handle);
    *length = 0;
    if (camera->wake.woken()) {
        camera->scanning = false;
        camera->frame = Frame();
        return SANE_STATUS_CANCELLED;
    }
    if (!camera->scanning)
        return SANE_STATUS_INVAL;
    const std::size_t left = camera->frame.bytes.size() - camera->delivered;
    if (left == 0)
        return SANE_STATUS_EOF;
    const std::size_t chunk = std::min(left, std::size_t(std::max(maxLength, 0)));
    std::memcpy(data, camera->frame.bytes.data() + camera->delivered, chunk);
    camera->delivered += chunk;
    *length = SANE_Int(chunk);
    return SANE_STATUS_GOOD;
}

// Frontends call this from signal handlers and other threads: it only wakes the wait.
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
