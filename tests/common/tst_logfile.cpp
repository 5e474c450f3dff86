#include "common/logfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList forwarded;

void recordDefault(QtMsgType, const QMessageLogContext&, const QString& message)
{
    forwarded.append(message);
}

} // namespace

class TestLogFile final : public QObject
{
    Q_OBJECT

private slots:
    void nameCarriesTheStartTime()
    {
        QCOMPARE(logFileName(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7))),
                 QStringLiteral("2026-03-04 05-06-07.log"));
    }

    void diagnosticsGoToTheFileAndStillToTheDefaultOutput()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("LogFile"));
        // Thirty-two earlier starts and a file of somebody else's.
        QVERIFY(QDir().mkpath(folder));
        for (int day = 1; day <= 32; ++day) {
            QFile old(folder +
                      QStringLiteral("/2026-01-%1 10-00-00.log").arg(day, 2, 10, QLatin1Char('0')));
            QVERIFY(old.open(QIODevice::WriteOnly));
        }
        QFile foreign(folder + QStringLiteral("/notes.log"));
        QVERIFY(foreign.open(QIODevice::WriteOnly));
        foreign.close();

        const QtMessageHandler previous = qInstallMessageHandler(recordDefault);
        const QDateTime now(QDate(2026, 12, 6), QTime(19, 0, 0));
        QVERIFY(startLogFile(folder, now));
        qInfo() << "Widget"
                << "Init Start";
        qDebug("WIFI_OPEN_SUCCESS");
        stopLogFile();
        qDebug("after the end");
        qInstallMessageHandler(previous);

        QCOMPARE(forwarded.size(), 3); // the default output keeps everything
        QFile log(folder + QLatin1Char('/') + logFileName(now));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QVERIFY(text.contains(QLatin1String("info: Widget Init Start")));
        QVERIFY(text.contains(QLatin1String("debug: WIFI_OPEN_SUCCESS")));
        QVERIFY(!text.contains(QLatin1String("after the end")));

        const QStringList logs =
            QDir(folder).entryList({QStringLiteral("2026-*.log")}, QDir::Files, QDir::Name);
        QCOMPARE(logs.size(), 30);
        QCOMPARE(logs.first(), QStringLiteral("2026-01-04 10-00-00.log")); // the oldest went
        QCOMPARE(logs.last(), logFileName(now));
        QVERIFY(QFile::exists(foreign.fileName()));
    }

    void unwritableFolderIsReportedNotFatal()
    {
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("LogFile")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Cannot")));
        QVERIFY(!startLogFile(plain.fileName()));
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
