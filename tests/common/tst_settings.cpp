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

    // Reading never writes: the other program may be writing, or the file is not ours.
    void reads_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no file
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("warning");
        QTest::newRow("A missing file reads empty") << QByteArray() << "UDP/Port"
                                                    << ""
                                                    << "";
        QTest::newRow("A key in its section")
            << QByteArray("[UDP]\nPort=5000\n[IMAHE]\nPort=1\n") << "UDP/Port"
            << "5000"
            << "";
        // So that the window and the TWAIN data source never disagree on the picture's path.
        QTest::newRow("An unquoted comma reads as no value, as Qt reads it")
            << QByteArray("[IMAHE]\nImageScanPth=D:/a,b/scan.bmp\n") << "IMAHE/ImageScanPth"
            << ""
            << "unquoted comma";
        QByteArray junk(4096, '\0');
        for (int i = 0; i < junk.size(); ++i)
            junk[i] = char((i * 7919) & 0xff);
        QTest::newRow("Garbage reads empty") << junk << "IMAHE/AutoSave"
                                             << ""
                                             << "";
        // Typed values would be built as whatever type their bytes name, sizes included.
        QTest::newRow("A typed value reads as its text")
            << QByteArray("[UDP]\nPort=@Variant(\\0\\0\\0I\\0)\n") << "UDP/Port"
            << QString::fromLatin1("@Variant(\0\0\0I\0)", 15) << "";
        QTest::newRow("Keys beside a typed value read as usual")
            << QByteArray(
                   "[WIFI]\nssid=clinic\nsetSSID = @Variant(\\0\\0\\0\\x88GG\\x99\\0const)\n")
            << "WIFI/ssid"
            << "clinic"
            << "";
    }
    void reads()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, warning);
        if (!text.isNull())
            writeRaw(text);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        QCOMPARE(readSetting(key), value);
        QCOMPARE(readRaw(), text);
        QVERIFY(text.isNull() ||
                writeSetting(QStringLiteral("IMAHE/ProType"), QStringLiteral("2")));
        QCOMPARE(readSetting(key), value);
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
        QTest::newRow("a typed value read back") << QStringLiteral("@Variant(\\0\\0\\0I\\0)");
    }
    void valuesRoundTrip()
    {
        QFETCH(QString, value);
        QVERIFY(writeSetting(QStringLiteral("IMAHE/ImageScanPth"), value));
        QCOMPARE(readSetting(QStringLiteral("IMAHE/ImageScanPth")), value);
    }

    // Another program edits the file between two calls: nothing may be cached, and a write
    // keeps the other keys. The folder and the file are made on the first write.
    void everyCallSeesTheFileAsItIsNow()
    {
        QVERIFY(writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1")));
        QVERIFY(readRaw().contains("[IMAHE]\nAutoSave=1"));
        writeRaw("[UDP]\nPort=6001\n[IMAHE]\nProType=2\n");
        QCOMPARE(readSetting(QStringLiteral("UDP/Port")), QStringLiteral("6001"));
        QVERIFY(writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("0")));
        QVERIFY(readRaw().contains("Port=6001"));
        QVERIFY(readRaw().contains("ProType=2"));
        // Another file, read the same way.
        QCOMPARE(readSettingAt(file, QStringLiteral("IMAHE/ProType")), QStringLiteral("2"));
        QCOMPARE(readSettingAt(file + QStringLiteral(".absent"), QStringLiteral("IMAHE/ProType")),
                 QString());
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
