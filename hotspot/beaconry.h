#pragma once

#include <QIcon>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>

class MyThread;
class QAction;
class QMenu;
class QTimer;

namespace platform {
class AdapterTable;
class ToolRunner;
struct Adapter;
} // namespace platform

namespace Ui {
class Beaconry;
}

// The hotspot program's window. It shows for a moment at start and then lives as a tray
// icon: a status check probes the adapters every 10 s (5 s after a worker run), has the
// worker (re)start the access point at most five times in a row, and shows the outcome by
// icon and tooltip; a second check closes the program when the imaging suite runs.
class Beaconry final : public QWidget
{
    Q_OBJECT

public:
    explicit Beaconry(QWidget* parent = nullptr);
    Beaconry(platform::AdapterTable& adapters, platform::ToolRunner& runner,
             QWidget* parent = nullptr);
    // Takes the access point down when the status check is active, then waits for the
    // worker to end its cycle.
    ~Beaconry() override;

    // 0 when there is no Wi-Fi adapter or the adapter table could not be read, 1 when there
    // are Wi-Fi adapters but none holds the hosted network's address, 2 when one does. On
    // the way, Wi-Fi adapters before that one derive or read back the SSID.
    int probeAdapters();
    // Publishes the SSID made from the adapter's hardware address and returns true; false,
    // with the configuration left alone, for an adapter without a hardware address.
    bool deriveSsid(const platform::Adapter& adapter);
    // Takes over the SSID settings that Airstep left in its setting.ini; does nothing when
    // that file does not exist.
    void copyAirstepSettings();

private slots:
    void on_pushButton_restart_clicked();
    void on_pushButton_close_clicked();
    void on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void on_restartMainAction();
    void on_exitAppAction();
    void handleTimeout();

private:
    // The tests drive the timer handlers and read the state they leave.
    friend class TestBeaconry;

    void checkHotspot();
    void blinkStateIcon();
    void hideAtStart();
    void onWorkerDone();
    void stopWorker();
    // Gives the tray and the state label the image; blanks pads the label's style sheet.
    void showState(const char* image, int blanks);
    bool suiteAbsentNow();

    platform::AdapterTable& m_adapters;
    platform::ToolRunner& m_runner;

    Ui::Beaconry* ui = nullptr;
    QTimer* checkTimer = nullptr;
    QTimer* blinkTimer = nullptr;
    QTimer* hideTimer = nullptr;
    MyThread* workerThread = nullptr;
    int openAttempts = 0;
    int blinkStep = 0;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* restartAction = nullptr;
    QAction* exitAction = nullptr;
    QIcon stateIcon;
    QString ssidText;
    QTimer* suiteTimer = nullptr;
    bool m_suiteNoticeOpen = false;
};
