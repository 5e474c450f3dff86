#include "acquisition/widget.h"

#include "acquisition/picturepipeline.h"
#include "common/processprobe.h"
#include "common/settings.h"
#include "common/trace.h"
#include "discovery/qtwifi.h"
#include "discovery/tcpclient.h"
#include "discovery/udpsocket.h"
#include "quorimage/quorimage.h"

#include "ui_widget.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

Q_LOGGING_CATEGORY(lcWindow, "ostra.window", QtInfoMsg)

// The artwork lives in this static library, where the linker would drop its automatic
// registration; the form's style sheets need it before the window is built.
static void registerArtwork()
{
    Q_INIT_RESOURCE(imagra);
}

namespace {

constexpr int kTickMs = 500;
// Where the update button sends the user; only the path is fixed by the download site.
const char* const kDownloadUrl = "http://download.quorvane.example/software-download/customer.html";

void trace(const QString& message, const QString& value)
{
    traceRecord(QStringLiteral("Widget"), message, value);
}

QString deviceIconSheet(const char* image)
{
    return QStringLiteral("QLabel#label_device_state{\n\tborder:outset;\n\tborder-image: "
                          "url(:/images/%1);\n}")
        .arg(QLatin1String(image));
}

} // namespace

Widget::Widget(QWidget* parent) : Widget(nullptr, parent) {}

Widget::Widget(TCPClient* monitor, QWidget* parent) : QWidget(parent), ui(new Ui::Widget)
{
    construct();
    trace(QStringLiteral("InitOstra Start"), QString());
    tcpClient = monitor ? monitor : new TCPClient;
    m_runner = &tcpClient->toolRunner();
    connect(tcpClient, &TCPClient::pictureQueued, this, &Widget::takePicture);
    wifiTimer = new QTimer(this);
    connect(wifiTimer, SIGNAL(timeout()), this, SLOT(Wifi_TimerTimeOut()));
    wifiTimer->start(kTickMs);
    trace(QStringLiteral("InitOstra End"), QString());
    proTimer = new QTimer(this);
    connect(proTimer, SIGNAL(timeout()), this, SLOT(proTimeout()));
}

void Widget::construct()
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

    m_pipeline = new PicturePipeline(ui->label_image->size(), this);
    m_pipeline->setMode(proType);
    ui->label_image->setAlignment(Qt::AlignCenter);
    ui->label_luminance->setScaledContents(true);
    connect(m_pipeline, &PicturePipeline::shown, this, [this](const PicturePipeline::Shown& state) {
        sourceImage = state.source;
        currentImage = state.current;
        ui->label_image->setPixmap(QPixmap::fromImage(state.picture));
        if (!state.bar.isNull()) {
            ui->label_luminance->setPixmap(QPixmap::fromImage(state.bar));
            // Setting the same style sheets again re-polishes five buttons for nothing.
            if (!ui->pushButton_image_save->isEnabled())
                showToolsActive();
        }
    });
    connect(m_pipeline, &PicturePipeline::readyForPicture, this,
            [this] { takePicture(ui->comboBox_wifi->currentText()); });
    connect(m_pipeline, &PicturePipeline::failed, this, &Widget::acquisitionFailed);
    connect(m_pipeline, &PicturePipeline::saved, this, &Widget::pictureSaved);
    connect(m_pipeline, &PicturePipeline::saveFailed, this, &Widget::pictureNotSaved);
}

Widget::~Widget()
{
    tearDown();
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

void Widget::showToolsActive()
{
    ui->pushButton_image_save->setStyleSheet(
        QStringLiteral("QPushButton#pushButton_image_save{\n\tborder:outset;\n\tborder-image: "
                       "url(:/images/1 (4).png);\n}\nQPushButton#pushButton_image_save:hover{\n\t"
                       "border-image: url(:/images/1 (3).png);\n}"));
    const std::tuple<QPushButton*, const char*, const char*> tools[] = {
        {ui->pushButton_roateLeft90, "1 (27).png", "1 (26).png"},
        {ui->pushButton_filpVertical, "1 (20).png", "1 (19).png"},
        {ui->pushButton_rotateRight90, "1 (25).png", "1 (24).png"},
        {ui->pushButton_filpHorizontal, "1 (29).png", "1 (28).png"},
    };
    for (const auto& [button, image, hover] : tools) {
        button->setStyleSheet(
            QStringLiteral("QPushButton{\n\tborder-image: url(:/images/%1);\n}\n"
                           "QPushButton:hover{\n\tborder-image: url(:/images/%2);\n}")
                .arg(QLatin1String(image), QLatin1String(hover)));
    }
    ui->pushButton_image_save->setEnabled(true);
    for (const auto& tool : tools)
        std::get<0>(tool)->setEnabled(true);
}

void Widget::setDeviceIcon(const char* image)
{
    qCDebug(lcWindow) << "device state icon" << image;
    ui->label_device_state->setStyleSheet(deviceIconSheet(image));
}

int Widget::informUser(const QString& title, const QString& text)
{
    if (m_closing)
        return QMessageBox::Ok;
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::NoButton);
    return box.exec();
}

void Widget::Wifi_TimerTimeOut()
{
    if (m_inTick || m_closing)
        return;
    m_inTick = true;
    tick();
    m_inTick = false;
    if (m_tearDownDue)
        tearDown();
}

void Widget::tick()
{
    // A tick that closed the window opens nothing more.
    if (!hotspotRunning(*m_runner))
        close();
    if (m_closing)
        return;

    const WifiStatus status = tcpClient->wifi()->wifiStatus();
    if (status.state == 0) {
        ui->label_9->setText(status.ssid);
        qCDebug(lcWindow) << "WIFI_OPEN_SUCCESS";
    } else if (status.noWifiAdapter()) {
        informUser(tr("Title"), tr("WIFI is not turned on"));
        close();
        return;
    }

    // A picture the pipeline cannot take yet stays with the selected scanner's link, which
    // meanwhile asks that scanner for nothing more.
    QList<OstraInfo> records;
    const QString selected = ui->comboBox_wifi->currentText();
    syncDeviceSelector(
        tcpClient->onlineDevices(records, m_pipeline->wantsPicture() ? QString() : selected));
    dispatchRecords(records);
}

void Widget::dispatchRecords(const QList<OstraInfo>& records)
{
    for (const OstraInfo& record : records) {
        qCDebug(lcWindow) << "State.ip ************** : " << record.ip;
        qCDebug(lcWindow) << "State.status ************** : " << record.status;
        if (record.ip == ui->comboBox_wifi->currentText()) {
            reveiveClientCom(record);
            break;
        }
    }
}

void Widget::takePicture(const QString& address)
{
    // Once a close is under way the window takes nothing more, the monitor still there.
    if (m_closing || address != ui->comboBox_wifi->currentText() || !m_pipeline->wantsPicture())
        return;
    OstraInfo record;
    if (tcpClient->takePicture(address, record))
        reveiveClientCom(std::move(record)); // moved: the bytes are megabytes
}

void Widget::syncDeviceSelector(const QStringList& addresses)
{
    for (const QString& address : addresses) {
        if (!deviceIps.contains(address)) {
            deviceIps.append(address);
            ui->comboBox_wifi->addItem(address);
        }
    }
    for (int i = deviceIps.size() - 1; i >= 0; --i) {
        if (!addresses.contains(deviceIps.at(i))) {
            deviceIps.removeAt(i);
            ui->comboBox_wifi->removeItem(i);
        }
    }
}

void Widget::reveiveClientCom(OstraInfo State)
{
    switch (State.status) {
    case REPLY_STATE_DIM:
        setDeviceIcon("1 (22).png");
        if (!firstRecordSeen)
            tcpClient->sendCommand(ui->comboBox_wifi->currentText(), REQUEST_COMMAND);
        break;
    case REPLY_STATE_LIT:
        setDeviceIcon("1 (21).png");
        break;
    case REPLY_STATE_ANIMATED:
        setDeviceIcon("1 (1).gif");
        break;
    case REPLY_IMAGE:
    case REPLY_IMAGE_EXT: {
        qDebug() << "DEVICE_ACQUISITION_END ";
        m_pipeline->addPicture(std::move(State.data), State.queuedAtMs, autoSave, imagePath);
        break;
    }
    case DEVICE_CONNECT_ERROR:
        qCDebug(lcWindow) << "**********************DEVICE_CONNECT_ERROR";
        break;
    case DEVICE_RECV_ERROR:
        qCDebug(lcWindow) << "**********************DEVICE_RECV_ERROR";
        break;
    case DEVICE_RECV_IMAGE_ERROR:
        qCDebug(lcWindow) << "**********************DEVICE_RECV_IMAGE_ERROR";
        break;
    case DEVICE_DATA_RECV_FAIL:
        qCDebug(lcWindow) << "**********************DEVICE_DATA_RECV_FAIL";
        break;
    default:
        break;
    }
    firstRecordSeen = true;
}

QMessageBox* Widget::prompt(QMessageBox::Icon icon, const QString& text)
{
    // A box opened during the close would keep the program alive after it said it closes.
    if (m_closing)
        return nullptr;
    // Not modal: the pictures that follow go on meanwhile.
    auto* box = new QMessageBox(icon, tr("Prompt"), text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    return box;
}

void Widget::acquisitionFailed()
{
    if (!m_acquisitionFailureBox || !m_acquisitionFailureBox->isVisible())
        m_acquisitionFailureBox = prompt(QMessageBox::Information, tr("Image acquisition failed!"));
}

void Widget::on_pushButton_roateLeft90_clicked()
{
    m_pipeline->orient(quor_rotate, 90);
}

void Widget::on_pushButton_rotateRight90_clicked()
{
    m_pipeline->orient(quor_rotate, 270);
}

void Widget::on_pushButton_filpHorizontal_clicked()
{
    m_pipeline->orient(quor_flip, 1);
}

void Widget::on_pushButton_filpVertical_clicked()
{
    m_pipeline->orient(quor_flip, 0);
}

void Widget::on_pushButton_image_save_clicked()
{
    m_pipeline->save(imagePath);
}

void Widget::pictureSaved(qint64 queuedAtMs)
{
    m_saveFailureTold = false;
    if (udp)
        udp->UDPSendDataScan();
    if (queuedAtMs > 0)
        qCDebug(lcWindow) << "picture notified" << linkClockMs() - queuedAtMs
                          << "ms after the link queued it";
}

void Widget::pictureNotSaved(const QString& path, const QString& error)
{
    // The data source is not told of a picture that is not there: it would hand on the
    // previous one.
    if (m_saveFailureTold)
        return;
    m_saveFailureTold = true;
    prompt(QMessageBox::Warning, tr("The picture could not be saved to \"%1\": %2")
                                     .arg(QDir::toNativeSeparators(path), error));
}

void Widget::on_radioButton_auto_save_clicked()
{
    autoSave = !autoSave;
    writeSetting(QStringLiteral("IMAHE/AutoSave"),
                 autoSave ? QStringLiteral("1") : QStringLiteral("0"));
    // The button is alone in its exclusive set and would stay checked; it shows the flag.
    ui->radioButton_auto_save->setAutoExclusive(false);
    ui->radioButton_auto_save->setChecked(autoSave);
}

void Widget::on_radioButton_hd_clicked()
{
    setProType(1);
}

void Widget::on_radioButton_ultraHD_clicked()
{
    setProType(2);
}

void Widget::setProType(int type)
{
    proType = type;
    writeSetting(QStringLiteral("IMAHE/ProType"), QString::number(type));
    m_pipeline->setMode(type);
}

void Widget::on_pushButton_close_clicked()
{
    close();
}

void Widget::on_pushButton_updata_clicked()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kDownloadUrl), QUrl::TolerantMode));
}

void Widget::proTimeout()
{
    if (suiteAbsent(*m_runner))
        return;
    informUser(tr("Title"), tr("Tessaly.exe has been opened Imagra.exe will be closed"));
    proTimer->stop();
    close();
}

void Widget::closeEvent(QCloseEvent* event)
{
    trace(QStringLiteral("closeEvent Start"), QString());
    event->accept();
    m_closing = true;
    // A picture saved before the close is told of before it; none after it.
    if (m_pipeline)
        m_pipeline->stop();
    tellClose();
    // Every message box is parentless: one left open would keep the program, and its
    // single-instance lock, alive after the data source heard that it closes. A box's own
    // loop returns into the code that opened it, which finds the window closing.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            box->done(QMessageBox::Ok);
    trace(QStringLiteral("closeEvent End"), QString());
    // After the tick that may have closed the window has finished with the monitor.
    QTimer::singleShot(0, this, &Widget::closeUDP);
}

void Widget::tellClose()
{
    if (m_closeTold)
        return;
    udp->UDPSendDataClose();
    m_closeTold = true;
    emit closeTold();
}

void Widget::closeUDP()
{
    if (m_inTick) {
        m_tearDownDue = true;
        return;
    }
    tearDown();
}

void Widget::tearDown()
{
    if (m_tornDown)
        return;
    m_tornDown = true;
    m_closing = true;
    // First, so that no save is told of after the close.
    delete m_pipeline;
    m_pipeline = nullptr;
    // A window that goes without a close event (the program's loop left some other way)
    // still tells the data source, which would otherwise wait for a program long gone.
    tellClose();
    udp->closeSocket();
    udp->wait();
    if (proTimer && proTimer->isActive())
        proTimer->stop();
    delete tcpClient;
    tcpClient = nullptr;
    if (wifiTimer) {
        wifiTimer->stop();
        wifiTimer->deleteLater();
        wifiTimer = nullptr;
    }
    delete udp;
    udp = nullptr;
}
