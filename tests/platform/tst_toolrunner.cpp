#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// QSKIP returns from the function it stands in, so this must be a macro.
#define NEED_TEST_NET()                                                                            \
    if (qEnvironmentVariableIsEmpty("OSTRA_TEST_NET"))                                             \
    QSKIP("needs the private test network: run through tests/support/run-in-test-net.sh")

// The system's own runner and adapter table. The process list needs nothing special; the
// ARP, ping and Wi-Fi cases need the private test network with its test host.
class TestToolRunner final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::vector<std::unique_ptr<QProcess>> running;

    // Starts a copy of sleep under the given name.
    void startAs(const QString& name)
    {
        const QString program = dir.filePath(name);
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
        auto process = std::make_unique<QProcess>();
        process->start(program, {QStringLiteral("60")});
        QVERIFY(process->waitForStarted(5000));
        running.push_back(std::move(process));
    }

    static platform::ToolOutput tasklist(const QString& image)
    {
        platform::ToolRun run;
        run.program = QStringLiteral("tasklist");
        run.arguments =
            QStringList{QStringLiteral("-fi"), QStringLiteral("imagename eq %1 ").arg(image)};
        run.finishMs = 30000;
        return platform::systemToolRunner().run(run);
    }

    static QString commandLine(const QString& line)
    {
        platform::ToolRun run;
        run.program = line;
        run.commandLine = true;
        run.readyReadMs = 1000;
        run.finishMs = 1000;
        return platform::systemToolRunner().run(run).output;
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void cleanupTestCase()
    {
        for (auto& process : running) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    void tasklistFiltersByImageName()
    {
        startAs(QStringLiteral("OstraProbeA"));
        startAs(QStringLiteral("ostraprobeb"));
        startAs(QStringLiteral("XOstraProbeC"));
        startAs(QStringLiteral("OstraLongProbeNameD")); // longer than the kernel's 15

        platform::ToolOutput found = tasklist(QStringLiteral("OstraProbeA.exe"));
        QVERIFY(found.finished);
        QVERIFY2(found.output.contains(QLatin1String("OstraProbeA")), qPrintable(found.output));
        QVERIFY(found.output.contains(QString::number(running.at(0)->processId())));

        // The filter ignores case, the search that the programs make does not.
        found = tasklist(QStringLiteral("OstraProbeB.exe"));
        QVERIFY(found.output.contains(QLatin1String("ostraprobeb")));
        QVERIFY(!found.output.contains(QLatin1String("OstraProbeB")));

        found = tasklist(QStringLiteral("OstraProbeC.exe"));
        QVERIFY(!found.output.contains(QLatin1String("OstraProbeC")));
        QVERIFY(found.output.startsWith(QLatin1String("INFO: No tasks are running")));

        QVERIFY(tasklist(QStringLiteral("OstraLongProbeNameD.exe"))
                    .output.contains(QLatin1String("OstraLongProbeNameD")));

        running.at(0)->kill();
        running.at(0)->waitForFinished(5000);
        QVERIFY(!tasklist(QStringLiteral("OstraProbeA.exe"))
                     .output.contains(QLatin1String("OstraProbeA")));
    }

    void otherToolsRunAsProcesses()
    {
        platform::ToolRun run;
        run.program = QStringLiteral("sh -c \"echo hello; sleep 5\"");
        run.commandLine = true;
        run.readyReadMs = 1000;
        run.finishMs = 200;
        QElapsedTimer clock;
        clock.start();
        const platform::ToolOutput out = platform::systemToolRunner().run(run);
        QVERIFY(!out.finished);
        QCOMPARE(out.output, QStringLiteral("hello\n")); // what came before the waits ran out
        QVERIFY(clock.elapsed() < 4000);

        run.program = QStringLiteral("no-such-tool-here --help");
        const platform::ToolOutput missing = platform::systemToolRunner().run(run);
        QVERIFY(!missing.finished);
        QVERIFY(missing.output.isEmpty());
    }

    void pingRefusesWhatIsNoAddress()
    {
        const QString out = commandLine(QStringLiteral("ping 1.2.3;rm -n 1 -w 1000"));
        QVERIFY(!out.contains(QLatin1String("TTL")));
        QVERIFY(out.contains(QLatin1String("could not find host")));
    }

    void pingAndArpSeeTheTestHost()
    {
        NEED_TEST_NET();
        const QString reply = commandLine(QStringLiteral("ping 192.168.137.45 -n 1 -w 1000"));
        QVERIFY2(reply.contains(QLatin1String("Reply from 192.168.137.45: bytes=32")),
                 qPrintable(reply));
        QVERIFY(reply.contains(QLatin1String("TTL=")));

        QElapsedTimer clock;
        clock.start();
        const QString silence = commandLine(QStringLiteral("ping 192.168.137.77 -n 1 -w 1000"));
        QVERIFY(!silence.contains(QLatin1String("TTL")));
        QVERIFY(clock.elapsed() < 2500);

        const QString arp = commandLine(QStringLiteral("arp -a"));
        QVERIFY2(arp.contains(QLatin1String("Interface: 192.168.137.1 --- 0x")), qPrintable(arp));
        QVERIFY(arp.split(QLatin1Char(' ')).contains(QStringLiteral("192.168.137.45")));
        QVERIFY(!arp.contains(QLatin1String("192.168.137.77 ")));
    }

    void adapterTableShowsTheWifiAdapter()
    {
        std::vector<platform::Adapter> adapters;
        QVERIFY(platform::systemAdapterTable().query(adapters));
        for (const platform::Adapter& adapter : adapters)
            QVERIFY2(adapter.name != "lo", "the loopback interface is not an adapter");
        NEED_TEST_NET();
        const auto it =
            std::find_if(adapters.begin(), adapters.end(),
                         [](const platform::Adapter& a) { return a.name == "veth-pc"; });
        QVERIFY(it != adapters.end());
        QCOMPARE(it->type, platform::kAdapterTypeWireless);
        QCOMPARE(it->hardwareAddress.size(), size_t(6));
        QCOMPARE(it->ipAddresses, std::vector<std::string>{"192.168.137.1"});
    }

    // A whole pass on the real facilities, with one test host on the hosted network.
    void realDiscoveryPassFindsTheTestHost()
    {
        NEED_TEST_NET();
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        commandLine(QStringLiteral("ping 192.168.137.45 -n 1 -w 1000")); // fills the ARP table
        QTWIFI wifi;
        wifi.Start();
        QElapsedTimer clock;
        clock.start();
        wifi.discoveryPass();
        qInfo("one discovery pass with one test host: %lld ms", clock.elapsed());
        QCOMPARE(wifi.wifiStatus().state, 0);
        QCOMPARE(wifi.deviceList(), QStringList{QStringLiteral("192.168.137.45")});
        wifi.Stop();
        overrideConfigFilePath(QString());
    }
};

QTEST_GUILESS_MAIN(TestToolRunner)
#include "tst_toolrunner.moc"
