#include "platform/toolrunner.h"
#include "platform/adapters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>

#include <net/if.h>

namespace platform {

namespace {

const QString kLineEnd = QStringLiteral("\r\n");

// The name a process runs under: its command name, or the file name of its program where
// the kernel has cut the command name short.
QString processName(const QString& pidFolder)
{
    QFile comm(pidFolder + QStringLiteral("/comm"));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    QString name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    if (name.size() >= 15) {
        const QString program = QFileInfo(pidFolder + QStringLiteral("/exe")).symLinkTarget();
        if (!program.isEmpty())
            name = QFileInfo(program).fileName();
    }
    return name;
}

// tasklist -fi "imagename eq NAME": the processes whose name is NAME, ignoring case, with
// or without the Windows ".exe" that Linux programs do not carry.
QString tasklist(const QStringList& arguments)
{
    QString image;
    for (int i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i).compare(QLatin1String("-fi"), Qt::CaseInsensitive) != 0 &&
            arguments.at(i).compare(QLatin1String("/fi"), Qt::CaseInsensitive) != 0)
            continue;
        const QStringList words = arguments.at(i + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.size() == 3 &&
            words.at(0).compare(QLatin1String("imagename"), Qt::CaseInsensitive) == 0 &&
            words.at(1).compare(QLatin1String("eq"), Qt::CaseInsensitive) == 0)
            image = words.at(2);
    }
    QString bare = image;
    if (bare.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        bare.chop(4);

    QString rows;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QString name = processName(proc.filePath(entry));
        if (name.isEmpty() || image.isEmpty() ||
            (name.compare(image, Qt::CaseInsensitive) != 0 &&
             name.compare(bare, Qt::CaseInsensitive) != 0))
            continue;
        rows += QStringLiteral("%1 %2 Console                    1     10,000 K")
                    .arg(name.leftJustified(25), QString::number(pid).rightJustified(8)) +
                kLineEnd;
    }
    if (rows.isEmpty())
        return QStringLiteral("INFO: No tasks are running which match the specified criteria.") +
               kLineEnd;
    return kLineEnd +
           QStringLiteral(
               "Image Name                     PID Session Name        Session#    Mem Usage") +
           kLineEnd +
           QStringLiteral(
               "========================= ======== ================ =========== ============") +
           kLineEnd + rows;
}

// arp -a: the kernel's IPv4 neighbour table, grouped by interface under a heading with the
// interface's own address, in the Windows layout.
QString arpTable()
{
    QFile table(QStringLiteral("/proc/net/arp"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    std::vector<Adapter> adapters;
    systemAdapterTable().query(adapters);

    QMap<QString, QString> rowsByDevice;
    QStringList devices;
    table.readLine(); // column heading
    while (!table.atEnd()) {
        const QStringList fields =
            QString::fromLatin1(table.readLine()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 6)
            continue;
        const int flags = fields.at(2).toInt(nullptr, 16);
        if (!(flags & 0x2)) // ATF_COM: incomplete entries have no hardware address yet
            continue;
        const QString device = fields.at(5).trimmed();
        if (!devices.contains(device))
            devices.append(device);
        QString physical = fields.at(3).toLower();
        physical.replace(QLatin1Char(':'), QLatin1Char('-'));
        rowsByDevice[device] += QStringLiteral("  %1 %2 %3")
                                    .arg(fields.at(0).leftJustified(21), physical.leftJustified(21),
                                         QLatin1String(flags & 0x4 ? "static" : "dynamic")) +
                                kLineEnd;
    }
    QString text;
    for (const QString& device : devices) {
        QString own = QStringLiteral("0.0.0.0");
        for (const Adapter& adapter : adapters) {
            if (QString::fromStdString(adapter.name) == device && !adapter.ipAddresses.empty())
                own = QString::fromStdString(adapter.ipAddresses.front());
        }
        const unsigned index = ::if_nametoindex(device.toLocal8Bit().constData());
        text += kLineEnd +
                QStringLiteral("Interface: %1 --- 0x%2").arg(own, QString::number(index, 16)) +
                kLineEnd + QStringLiteral("  Internet Address      Physical Address      Type") +
                kLineEnd + rowsByDevice.value(device);
    }
    return text;
}

// ping A -n 1 -w MS: one echo request through the system's ping, reported in the Windows
// shape, whose "TTL" marks a reply.
ToolOutput ping(const ToolRun& run, const QStringList& arguments)
{
    const QString target = arguments.value(0);
    int waitMs = 1000;
    for (int i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-w"))
            waitMs = qMax(1, arguments.at(i + 1).toInt());
    }
    const QHostAddress address(target);
    if (address.protocol() != QAbstractSocket::IPv4Protocol ||
        target.count(QLatin1Char('.')) != 3) {
        return {true,
                QStringLiteral(
                    "Ping request could not find host %1. Please check the name and try again.")
                        .arg(target) +
                    kLineEnd};
    }
    ToolRun system;
    system.program = QStringLiteral("ping");
    system.arguments = QStringList{QStringLiteral("-n"),
                                   QStringLiteral("-c"),
                                   QStringLiteral("1"),
                                   QStringLiteral("-W"),
                                   QString::number(waitMs / 1000.0, 'f', 3),
                                   address.toString()};
    system.readyReadMs = run.readyReadMs;
    system.finishMs = run.finishMs;
    const ToolOutput answer = runProcess(system);

    QString text = kLineEnd +
                   QStringLiteral("Pinging %1 with 32 bytes of data:").arg(address.toString()) +
                   kLineEnd;
    const QRegularExpression reply(
        QStringLiteral("bytes from [^ ]+: .*ttl=(\\d+)(?: time=([0-9.]+))?"));
    const QRegularExpressionMatch match = reply.match(answer.output);
    if (match.hasMatch()) {
        text += QStringLiteral("Reply from %1: bytes=32 time=%2ms TTL=%3")
                    .arg(address.toString(), QString::number(qRound(match.captured(2).toDouble())),
                         match.captured(1)) +
                kLineEnd;
    } else {
        text += QStringLiteral("Request timed out.") + kLineEnd;
    }
    return {answer.finished, text};
}

class PosixToolRunner final : public ToolRunner
{
public:
    ToolOutput run(const ToolRun& run) override
    {
        QString program = run.program;
        QStringList arguments = run.arguments;
        if (run.commandLine) {
            arguments = QProcess::splitCommand(run.program);
            program = arguments.isEmpty() ? QString() : arguments.takeFirst();
        }
        QString tool = QFileInfo(program).fileName().toLower();
        if (tool.endsWith(QLatin1String(".exe")))
            tool.chop(4);
        if (tool == QLatin1String("tasklist"))
            return {true, tasklist(arguments)};
        if (tool == QLatin1String("arp") && arguments == QStringList{QStringLiteral("-a")})
            return {true, arpTable()};
        if (tool == QLatin1String("ping"))
            return ping(run, arguments);
        return runProcess(run);
    }

    bool startDetached(const QString& program, const QStringList& arguments) override
    {
        return startDetachedProcess(program, arguments);
    }
};

} // namespace

ToolRunner& systemToolRunner()
{
    static PosixToolRunner runner;
    return runner;
}

} // namespace platform
