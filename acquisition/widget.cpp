#include "acquisition/widget.h"

#include "common/settings.h"
#include "common/trace.h"
#include "discovery/udpsocket.h"

#include "ui_widget.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>

// The artwork lives in this static library, where the linker would drop its automatic
// registration; the form's style sheets need it before the window is built.
static void registerArtwork()
{
    Q_INIT_RESOURCE(imagra);
}

namespace {

void trace(const QString& message, const QString& value)
{
    traceRecord(QStringLiteral("Widget"), message, value);
}

} // namespace

Widget::Widget(QWidget* parent) : QWidget(parent), ui(new Ui::Widget)
{
    registerArtwork();
    ui->setupUi(this);

    udp = new UDPSocket(this);
    connect(this, &Widget::sendClose, udp, &UDPSocket::UDPSendDataClose);
    connect(this, &Widget::sendScan, udp, &UDPSocket::UDPSendDataScan);

    setWindowFlags(Qt::CustomizeWindowHint);

    buttonGroup = new QButtonGroup(this);
    buttonGroup->addButton(ui->radioButton_hd, 1);
    buttonGroup->addButton(ui->radioButton_ultraHD, 2);

    trace(QStringLiteral("Init Start"), QString());
    loadSettings();
    trace(QStringLiteral("Init End"), QString());
    trace(QStringLiteral("InitOstra Start"), QString());
    trace(QStringLiteral("InitOstra End"), QString());
}

Widget::~Widget()
{
    udp->closeSocket();
    udp->wait();
    delete udp;
    delete ui;
}

void Widget::loadSettings()
{
    udp->start(QThread::InheritPriority);
    setWindowTitle(QStringLiteral("Imagra Ostra"));
    imagePath = readSetting(QStringLiteral("IMAHE/ImageScanPth"));
    autoSave = readSetting(QStringLiteral("IMAHE/AutoSave")).toInt(nullptr, 10) != 0;
    proType = readSetting(QStringLiteral("IMAHE/ProType")).toInt(nullptr, 10);

    // Every mode other than 0 and 1 shows as Ultra HD, but the value read is kept.
    if (proType != 0) {
        if (proType == 1)
            ui->radioButton_hd->setChecked(true);
        else
            ui->radioButton_ultraHD->setChecked(true);
    }
    ui->radioButton_auto_save->setChecked(autoSave);

    // The folder must exist before the first save; the file itself is left to the save.
    if (!imagePath.isEmpty()) {
        const QString folder = QFileInfo(imagePath).absolutePath();
        if (!QDir(folder).exists())
            QDir().mkpath(folder);
    }

    showToolsIdle();
}

void Widget::showToolsIdle()
{
    // Until the first picture there is nothing to turn or save: no outset border, no hover.
    const std::pair<QPushButton*, const char*> tools[] = {
        {ui->pushButton_image_save, "1 (4).png"},      {ui->pushButton_roateLeft90, "1 (27).png"},
        {ui->pushButton_filpVertical, "1 (20).png"},   {ui->pushButton_rotateRight90, "1 (25).png"},
        {ui->pushButton_filpHorizontal, "1 (29).png"},
    };
    for (const auto& [button, image] : tools) {
        button->setStyleSheet(
            QStringLiteral("QPushButton#%1{\n\tborder-image: url(:/images/%2);\n}\n")
                .arg(button->objectName(), QLatin1String(image)));
    }
    for (const auto& tool : tools)
        tool.first->setEnabled(false);
}

void Widget::closeEvent(QCloseEvent* event)
{
    trace(QStringLiteral("closeEvent Start"), QString());
    event->accept();
    udp->UDPSendDataClose();
    trace(QStringLiteral("closeEvent End"), QString());
}

void Widget::on_pushButton_close_clicked()
{
    close();
}
