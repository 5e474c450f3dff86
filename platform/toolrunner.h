#pragma once

// The tool runner seam: external command-line tools run with fixed waits, their standard
// output read back as text. On Windows every tool is a real process; elsewhere the
// Windows tools the programs call (tasklist, arp, ping) are answered by host
// implementations that keep the output shapes the programs search.

#include <QString>
#include <QStringList>

namespace platform {

struct ToolRun
{
    QString program;       // the program, or the whole command line
    QStringList arguments; // empty for a command line
    bool commandLine = false;
    int readyReadMs = -1; // first wait for readable output; -1 skips it
    int finishMs = 0;     // then the wait for the end
};

struct ToolOutput
{
    bool finished = false; // ended within the waits
    QString output;        // standard output received, decoded from the local 8-bit code page
};

class ToolRunner
{
public:
    virtual ~ToolRunner() = default;
    // Runs the tool with the waits; a tool still running afterwards is killed. A tool that
    // cannot start gives finished = false and no output.
    virtual ToolOutput run(const ToolRun& run) = 0;
    // Starts a program that outlives the caller; false when it could not start.
    virtual bool startDetached(const QString& program, const QStringList& arguments) = 0;
};

// The runner for this system.
ToolRunner& systemToolRunner();

// Runs the tool as a real process with the waits of `run`.
ToolOutput runProcess(const ToolRun& run);
// Starts a real process that outlives the caller; false when it could not start.
bool startDetachedProcess(const QString& program, const QStringList& arguments);

} // namespace platform
