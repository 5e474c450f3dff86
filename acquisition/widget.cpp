#include "acquisition/widget.h"

#include "common/settings.h"
#include "common/trace.h"

#include <QDir>
#include <QFileInfo>

namespace {

void trace(const QString& message, const QString& value)
{
    traceRecord(QStringLiteral("Widget"), message, value);
}

} // namespace

Widget::Widget(QWidget* parent) : QWidget(parent)
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("Widget"));
    resize(653, 498);
    setMinimumSize(653, 498);
    setMaximumSize(653, 498);
    setWindowFlags(Qt::CustomizeWindowHint);

    trace(QStringLiteral("Init Start"), QString());
    loadSettings();
    trace(QStringLiteral("Init End"), QString());
    trace(QStringLiteral("InitOstra Start"), QString());
    trace(QStringLiteral("InitOstra End"), QString());
}

Widget::~Widget() = default;

void Widget::loadSettings()
{
    setWindowTitle(QStringLiteral("Imagra Ostra"));
    imagePath = readSetting(QStringLiteral("IMAHE/ImageScanPth"));
    autoSave = readSetting(QStringLiteral("IMAHE/AutoSave")).toInt(nullptr, 10) != 0;
    proType = readSetting(QStringLiteral("IMAHE/ProType")).toInt(nullptr, 10);

    // The folder must exist before the first save; the file itself is left to the save.
    if (!imagePath.isEmpty()) {
        const QString folder = QFileInfo(imagePath).absolutePath();
        if (!QDir(folder).exists())
            QDir().mkpath(folder);
    }
}
