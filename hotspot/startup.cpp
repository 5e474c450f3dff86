#include "hotspot/startup.h"

#include "common/singleapplication.h"
#include "hotspot/beaconry.h"

#include <memory>

namespace {

const char* const kApplicationId = "Beaconry";
const char* const kRaiseMessage = "raise_window_noop";
constexpr int kSendTimeoutMs = 4000;
// On the way out, a worker run under way ends its cycle first. A run the check starts finds the
// network down, so it waits at most nmcli's own limits for two activations (25 s each), one
// deactivation (10 s) and the second between them.
constexpr int kEndWaitMs = 65000;

} // namespace

int runBeaconry(int argc, char* argv[])
{
    auto app = std::make_unique<SingleApplication>(QString::fromLatin1(kApplicationId), argc, argv);
    // The running instance does not act on the message; it only learns of the attempt.
    const auto handover =
        app->handOver(QString::fromLatin1(kRaiseMessage), kSendTimeoutMs, kEndWaitMs);
    if (handover != SingleApplication::Handover::First)
        return handover == SingleApplication::Handover::Delivered ? 0 : 1;

    auto window = std::make_unique<Beaconry>();
    window->show();
    const int result = app->exec();
    // A start from here on waits for this one to end rather than handing over to it.
    app->retire();
    // The window ends the worker and, when due, takes the access point down.
    window.reset();
    app.reset();
    return result;
}
