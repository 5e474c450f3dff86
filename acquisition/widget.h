#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QButtonGroup;
class QCloseEvent;
class UDPSocket;

namespace Ui {
class Widget;
}

// The acquisition program's main window: it loads the settings and owns everything that
// runs while it is open.
class Widget final : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget* parent = nullptr);
    // Stops the TWAIN bridge and releases its socket.
    ~Widget() override;

    // The settings as read at start.
    QString picturePath() const { return imagePath; }
    bool autoSaveEnabled() const { return autoSave; }
    int processingType() const { return proType; }

signals:
    // Wired to the bridge's close and scan notifications; the window calls the bridge directly.
    void sendClose();
    void sendScan();

protected:
    // Tells the TWAIN data source that the program is closing, however the window closes.
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_pushButton_close_clicked();

private:
    void loadSettings();
    void showToolsIdle();

    Ui::Widget* ui = nullptr;
    UDPSocket* udp = nullptr;
    QStringList deviceIps;
    QString imagePath;
    bool firstRecordSeen = false;
    bool autoSave = false;
    int proType = 0;
    QButtonGroup* buttonGroup = nullptr;
};
