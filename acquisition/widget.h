#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

// The acquisition program's main window: it loads the settings and owns everything that
// runs while it is open.
class Widget final : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget* parent = nullptr);
    ~Widget() override;

    QString picturePath() const { return imagePath; }
    bool autoSaveEnabled() const { return autoSave; }
    int processingType() const { return proType; }

private:
    void loadSettings();

    QStringList deviceIps;
    QString imagePath;
    bool firstRecordSeen = false;
    bool autoSave = false;
    int proType = 0;
};
