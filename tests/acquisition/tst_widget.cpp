#include "acquisition/startup.h"
#include "acquisition/widget.h"
#include "common/settings.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList captured;

void capture(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtInfoMsg)
        captured.append(message);
}

} // namespace

class TestWidget final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    void writeConfig(const QByteArray& text)
    {
        QFile file(configFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
    }

    void init() { QFile::remove(configFilePath()); }

    void defaultsWithoutAFile()
    {
        Widget window;
        QCOMPARE(window.picturePath(), QString());
        QVERIFY(!window.autoSaveEnabled());
        QCOMPARE(window.processingType(), 0);
        QCOMPARE(window.windowTitle(), QStringLiteral("Imagra Ostra"));
        QCOMPARE(window.size(), QSize(653, 498));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.objectName(), QStringLiteral("Widget"));
        QVERIFY(!QFile::exists(configFilePath()));
    }

    void settingsAreLoaded()
    {
        const QString picture = dir.filePath(QStringLiteral("deep/er/scan.bmp"));
        writeConfig("[IMAHE]\nAutoSave=1\nProType=7\nImageScanPth=" + picture.toUtf8() + "\n");
        Widget window;
        QVERIFY(window.autoSaveEnabled());
        QCOMPARE(window.processingType(), 7);
        QCOMPARE(window.picturePath(), picture);
        // The folder is made so that the first save can write; the file itself is not.
        QVERIFY(QFileInfo(QFileInfo(picture).absolutePath()).isDir());
        QVERIFY(!QFileInfo::exists(picture));
    }

    void nonNumericSettingsCountAsZero()
    {
        writeConfig("[IMAHE]\nAutoSave=yes\nProType=HD\n");
        Widget window;
        QVERIFY(!window.autoSaveEnabled());
        QCOMPARE(window.processingType(), 0);
    }

    void constructionEmitsPairedTraceRecords()
    {
        captured.clear();
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        {
            Widget window;
        }
        qInstallMessageHandler(previous);
        const QStringList expected = {
            QStringLiteral("\"Widget\" \"Init Start\" QVariant(QString, \"\") \n"),
            QStringLiteral("\"Widget\" \"Init End\" QVariant(QString, \"\") \n"),
            QStringLiteral("\"Widget\" \"InitOstra Start\" QVariant(QString, \"\") \n"),
            QStringLiteral("\"Widget\" \"InitOstra End\" QVariant(QString, \"\") \n"),
        };
        QCOMPARE(captured, expected);
    }

    void appearanceIsThirteenPixelsAndDarkDropDowns()
    {
        QFont large = QApplication::font();
        large.setPointSize(24);
        QApplication::setFont(large);
        applyImagraAppearance(*qApp);
        Widget window;
        QComboBox combo(&window);
        QCOMPARE(combo.font().pixelSize(), 13);
        QCOMPARE(QApplication::font().family(), QStringLiteral("Microsoft YaHei"));
        QCOMPARE(qApp->styleSheet(),
                 QStringLiteral("QComboBox QAbstractItemView {            outline: 1px solid "
                                "rgb(18,47,73);            color: rgb(164,177,196);            "
                                "background-color: rgb(22,24,28);            "
                                "selection-background-color: rgb(18,47,73);            }"));
        combo.view()->ensurePolished();
        QCOMPARE(combo.view()->palette().color(QPalette::Base), QColor(22, 24, 28));
    }
};

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
