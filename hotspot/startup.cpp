#include "hotspot/startup.h"

#include "common/singleapplication.h"
#include "hotspot/beaconry.h"

#include <memory>

namespace {

const char* const kApplicationId = "Beaconry";
const char* const kRaiseMessage = "raise_window_noop";
constexpr int kSendTimeoutMs = 4000;

} // namespace

int runBeaconry(int argc, char* argv[])
{
    auto app = std::make_unique<SingleApplication>(QString::fromLatin1(kApplicationId), argc, argv);
    if (app->isRunning()) {
        // The running instance does not act on the message; it only learns of the attempt.
        app->sendMessage(QString::fromLatin1(kRaiseMessage), kSendTimeoutMs);
        return 0;
    }

    auto window = std::make_unique<Beaconry>();
    window->show();
    const int result = app->exec();
    // The window ends the worker and, when due, takes the access point down.
    window.reset();
    app.reset();
    return result;
}
