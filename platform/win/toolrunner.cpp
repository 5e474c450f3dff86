#include "platform/toolrunner.h"

#include <QProcess>

namespace platform {

namespace {

class ProcessToolRunner final : public ToolRunner
{
public:
    ToolOutput run(const ToolRun& run) override { return runProcess(run); }
    bool startDetached(const QString& program, const QStringList& arguments) override
    {
        return startDetachedProcess(program, arguments);
    }
};

} // namespace

ToolRunner& systemToolRunner()
{
    static ProcessToolRunner runner;
    return runner;
}

} // namespace platform
