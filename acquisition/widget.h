#pragma once

#include "imaging/cvs.h"
#include "link/costra.h"

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <opencv2/core.hpp>

class PicturePipeline;
class QButtonGroup;
class QCloseEvent;
class QPushButton;
class QTimer;
class TCPClient;
class UDPSocket;

namespace platform {
class ToolRunner;
}

namespace Ui {
class Widget;
}

// The acquisition program's main window. It owns the TWAIN bridge, the status monitor and
// the picture pipeline. Its 500 ms tick keeps the device selector in step and hands the
// selected scanner's status records to the frame handler; that scanner's pictures are
// handed over as soon as its link holds them and the pipeline takes one (until then they
// stay with the link), and the pipeline decodes, enhances, shows and saves them off the
// GUI thread.
class Widget final : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget* parent = nullptr);
    // With a monitor made by the caller (its discovery seams chosen there), which the
    // window takes over; null makes the system's own.
    Widget(TCPClient* monitor, QWidget* parent);
    // Runs the teardown if closing has not.
    ~Widget() override;

    // The settings as read at start, and the pictures as the pipeline last showed them.
    QString picturePath() const { return imagePath; }
    bool autoSaveEnabled() const { return autoSave; }
    int processingType() const { return proType; }
    cv::Mat shownPicture() const { return currentImage; }
    cv::Mat sourcePicture() const { return sourceImage; }
    TCPClient* monitor() const { return tcpClient; }
    // Null once the window has been torn down.
    PicturePipeline* pipeline() const { return m_pipeline; }

    // Parts of the tick. Appends new addresses to the selector and removes vanished ones,
    // keeping the order of the rest.
    void syncDeviceSelector(const QStringList& addresses);
    // Logs the records and hands the first one of the selected scanner to the frame handler.
    void dispatchRecords(const QList<OstraInfo>& records);

signals:
    // Wired to the bridge's close and scan notifications; the window calls the bridge directly.
    void sendClose();
    void sendScan();
    // The data source has heard that the program closes; from here on it only ends.
    void closeTold();

protected:
    // Tells the TWAIN data source that the program is closing, however the window closes,
    // then stops everything the window runs.
    void closeEvent(QCloseEvent* event) override;

private slots:
    void Wifi_TimerTimeOut();
    void reveiveClientCom(OstraInfo State);
    void closeUDP();
    void on_pushButton_filpVertical_clicked();
    void on_pushButton_filpHorizontal_clicked();
    void on_pushButton_roateLeft90_clicked();
    void on_pushButton_rotateRight90_clicked();
    void on_pushButton_image_save_clicked();
    void on_radioButton_auto_save_clicked();
    void on_radioButton_hd_clicked();
    void on_radioButton_ultraHD_clicked();
    void on_pushButton_close_clicked();
    void on_pushButton_updata_clicked();
    void proTimeout();
    void takePicture(const QString& address);

private:
    void construct();
    void tick();
    void tearDown();
    // Sends "1000", once.
    void tellClose();
    void loadSettings();
    void showToolsIdle();
    void showToolsActive();
    void setDeviceIcon(const char* image);
    void pictureSaved(qint64 queuedAtMs);
    void pictureNotSaved(const QString& path, const QString& error);
    void acquisitionFailed();
    void setProType(int type);
    int informUser(const QString& title, const QString& text);
    QMessageBox* prompt(QMessageBox::Icon icon, const QString& text);

    Ui::Widget* ui = nullptr;
    UDPSocket* udp = nullptr;
    TCPClient* tcpClient = nullptr;
    QTimer* wifiTimer = nullptr;
    QStringList deviceIps;
    QString imagePath;
    bool firstRecordSeen = false;
    CVS cvs;
    cv::Mat currentImage;
    bool autoSave = false;
    cv::Mat sourceImage;
    int proType = 0;
    QButtonGroup* buttonGroup = nullptr;
    QTimer* proTimer = nullptr;
    PicturePipeline* m_pipeline = nullptr;
    // Open at most once at a time: failures may come faster than the user reads.
    QPointer<QMessageBox> m_acquisitionFailureBox;
    // The monitor's runner, which outlives it: presence probes go through the same seam.
    platform::ToolRunner* m_runner = nullptr;

    // A tick that waits on a message box must not be re-entered by the next ticks, which
    // would stack message upon message.
    bool m_inTick = false;
    // A failed save is told once, and again only after a save has worked in between.
    bool m_saveFailureTold = false;
    bool m_tornDown = false;
    // From the first close on: no new message box, no tick.
    bool m_closing = false;
    // A close inside one of the tick's message boxes runs that box's event loop while the
    // tick still holds the monitor; the teardown then waits for the tick's end.
    bool m_tearDownDue = false;
    // The data source hears of a close once, however many closes the tick and the desktop
    // ask for; a closed window is torn down and never shown again.
    bool m_closeTold = false;
};
