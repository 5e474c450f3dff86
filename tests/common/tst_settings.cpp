#include "common/settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

class TestSettings final : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString file;

    void writeRaw(const QByteArray& text)
    {
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::WriteOnly | QIODevice::Truncate));
        raw.write(text);
    }

    QByteArray readRaw() const
    {
        QFile raw(file);
        return raw.open(QIODevice::ReadOnly) ? raw.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        file = dir->filePath(QStringLiteral("OstraImagraEXE/scanConfig.ini"));
        overrideConfigFilePath(file);
    }

    void cleanup() { overrideConfigFilePath(QString()); }

    void fixedPathByDefault()
    {
        overrideConfigFilePath(QString());
        QVERIFY(QDir::isAbsolutePath(configFilePath()));
        QVERIFY(configFilePath().endsWith(QLatin1String("/OstraImagraEXE/scanConfig.ini")));
        QCOMPARE(configFilePath(), configFolderPath() + QStringLiteral("/scanConfig.ini"));
    }

    void missingFileReadsEmpty()
    {
        for (const char* key : {"UDP/Port", "IMAHE/AutoSave", "IMAHE/ProType", "IMAHE/ImageScanPth",
                                "WIFI/setSSID", "WIFI/ssid"})
            QCOMPARE(readSetting(QString::fromLatin1(key)), QString());
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")).toInt(nullptr, 10), 0);
        QVERIFY(!QFile::exists(file));
    }

    void writeCreatesFolderFileAndKeyInItsSection()
    {
        QVERIFY(writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
        QVERIFY(writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("ostra@001A2B3C4D5")));
        const QByteArray text = readRaw();
        QVERIFY(text.contains("[IMAHE]"));
        QVERIFY(text.contains("AutoSave=1"));
        QVERIFY(text.contains("[WIFI]"));
        QCOMPARE(readSetting(QStringLiteral("IMAHE/AutoSave")), QStringLiteral("1"));
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QStringLiteral("ostra@001A2B3C4D5"));
    }

    // Another program edits the file between two calls: nothing may be cached.
    void everyCallSeesTheFileAsItIsNow()
    {
        writeRaw("[UDP]\nPort=5000\n");
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")), QStringLiteral("5000"));
        writeRaw("[UDP]\nPort=6001\n[IMAHE]\nProType=2\n");
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")), QStringLiteral("6001"));
        QVERIFY(writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("0")));
        const QByteArray text = readRaw();
        QVERIFY(text.contains("Port=6001"));
        QVERIFY(text.contains("ProType=2"));
    }

    void unwritableFileIsReported()
    {
        // A plain file where a folder should be: refused even to root.
        const QString blocker = dir->filePath(QStringLiteral("blocker"));
        QFile plain(blocker);
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        overrideConfigFilePath(blocker + QStringLiteral("/scanConfig.ini"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Could not write")));
        QVERIFY(!writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
        QCOMPARE(readSetting(QStringLiteral("IMAHE/AutoSave")), QString());
    }

    void valuesRoundTrip_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("windows path") << QStringLiteral("C:/Scans/Patient 12/scan.bmp");
        QTest::newRow("backslashes") << QStringLiteral("C:\\Scans\\today.png");
        QTest::newRow("comma") << QStringLiteral("D:/Dr. Lee, DDS/scan.png");
        QTest::newRow("equals and semicolon") << QStringLiteral("a=b;c");
        QTest::newRow("non-ASCII") << QStringLiteral("C:/Bilder/Zahnärztin/ßild.png");
        QTest::newRow("leading blanks") << QStringLiteral("  x  ");
        QTest::newRow("empty") << QString();
    }
    void valuesRoundTrip()
    {
        QFETCH(QString, value);
        QVERIFY(writeSetting(QStringLiteral("IMAHE/ImageScanPth"), value));
        QCOMPARE(readSetting(QStringLiteral("IMAHE/ImageScanPth")), value);
    }

    // A hand-written unquoted comma reads as Qt reads it, as no value, so that the window
    // and the TWAIN data source never disagree on the picture's path.
    void unquotedCommaReadsAsNoValue()
    {
        writeRaw("[IMAHE]\nImageScanPth=D:/a,b/scan.bmp\n");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unquoted comma")));
        QCOMPARE(readSetting(QStringLiteral("IMAHE/ImageScanPth")), QString());
    }

    void garbageFileReadsEmpty()
    {
        QByteArray junk(4096, '\0');
        for (int i = 0; i < junk.size(); ++i)
            junk[i] = char((i * 7919) & 0xff);
        writeRaw(junk);
        QCOMPARE(readSetting(QStringLiteral("IMAHE/AutoSave")).toInt(nullptr, 10), 0);
    }

    // Values in Qt's typed form would be built as whatever type their bytes name, sizes
    // included: a damaged file must read as text, not crash or allocate what it claims.
    void typedValuesReadAsText()
    {
        writeRaw(QByteArray("[UDP]\nPort=@Variant(\\0\\0\\0I\\0)\n[WIFI]\nssid=clinic\n"
                            "setSSID = @Variant(\\0\\0\\0\\x88GG\\x99\\0const)\n"));
        const QByteArray before = readRaw();
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")).toInt(nullptr, 10), 0);
        QVERIFY(readSetting(QStringLiteral("UDP/Port")).startsWith(QLatin1String("@Variant(")));
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QStringLiteral("clinic"));
        QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")).toInt(nullptr, 10), 0);
        // Reading never writes: the other program may be writing, or the file is not ours.
        QCOMPARE(readRaw(), before);
        QVERIFY(writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
        QCOMPARE(readSetting(QStringLiteral("IMAHE/AutoSave")), QStringLiteral("1"));
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QStringLiteral("clinic"));
    }

    void typedValueWrittenBackReadsTheSame()
    {
        writeRaw(QByteArray("[UDP]\nPort=@Variant(\\0\\0\\0I\\0)\n"));
        const QString value = readSetting(QStringLiteral("UDP/Port"));
        QVERIFY(writeSetting(QStringLiteral("UDP/Port"), value));
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")), value);
    }

    void readSettingAtReadsAnotherFile()
    {
        const QString other = dir->filePath(QStringLiteral("Wifi/wifi/win10/setting.ini"));
        QVERIFY(QDir().mkpath(QFileInfo(other).absolutePath()));
        QFile raw(other);
        QVERIFY(raw.open(QIODevice::WriteOnly));
        raw.write("[WIFI]\nsetSSID=1\nssid=clinic-ap\n");
        raw.close();
        QCOMPARE(readSettingAt(other, QStringLiteral("WIFI/ssid")), QStringLiteral("clinic-ap"));
        QCOMPARE(readSettingAt(other, QStringLiteral("WIFI/setSSID")), QStringLiteral("1"));
        QCOMPARE(
            readSettingAt(dir->filePath(QStringLiteral("absent.ini")), QStringLiteral("WIFI/ssid")),
            QString());
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QString());
    }

    // The discovery thread and the GUI thread write different keys at the same time.
    void concurrentWritersLoseNothing()
    {
        auto writer = [](const QString& group) {
            for (int i = 0; i < 40; ++i)
                writeSetting(group + QStringLiteral("/k%1").arg(i), QString::number(i));
        };
        std::thread a(writer, QStringLiteral("A"));
        std::thread b(writer, QStringLiteral("B"));
        a.join();
        b.join();
        for (int i = 0; i < 40; ++i) {
            QCOMPARE(readSetting(QStringLiteral("A/k%1").arg(i)), QString::number(i));
            QCOMPARE(readSetting(QStringLiteral("B/k%1").arg(i)), QString::number(i));
        }
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
