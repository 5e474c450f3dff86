#include "acquisition/startup.h"

#include "acquisition/widget.h"
#include "common/logfile.h"
#include "common/settings.h"
#include "common/singleapplication.h"

#include <QApplication>
#include <QFileInfo>
#include <QFont>

#include <memory>

namespace {

const char* const kApplicationId = "ZQXImagra";
const char* const kRaiseMessage = "raise_window_noop";
constexpr int kRaiseTimeoutMs = 4000;
// An instance that has told the data source it closes may still be finishing a discovery
// pass (a one-second ping per neighbour) and stopping its links.
constexpr int kEndWaitMs = 30000;

// Set verbatim, runs of blanks included.
const char* const kApplicationStyleSheet =
    "QComboBox QAbstractItemView {            outline: 1px solid rgb(18,47,73);            "
    "color: rgb(164,177,196);            background-color: rgb(22,24,28);            "
    "selection-background-color: rgb(18,47,73);            }";

} // namespace

int runImagra(int argc, char* argv[], const std::function<std::unique_ptr<Widget>()>& makeWindow)
{
    auto app = std::make_unique<SingleApplication>(QString::fromLatin1(kApplicationId), argc, argv);
    // The running instance does not act on the message; it only learns of the attempt.
    const auto handover =
        app->handOver(QString::fromLatin1(kRaiseMessage), kRaiseTimeoutMs, kEndWaitMs);
    if (handover != SingleApplication::Handover::First)
        return handover == SingleApplication::Handover::Delivered ? 0 : 1;

    startLogFile(QFileInfo(configFilePath()).absolutePath() + QStringLiteral("/LogFile"));
    applyImagraAppearance(*app);
    auto window = makeWindow ? makeWindow() : std::make_unique<Widget>();
    // A start that comes while this one ends must not hand over to it: it would exit
    // unseen, and the data source that started it would never hear from it.
    QObject::connect(window.get(), &Widget::closeTold, app.get(), &SingleApplication::retire);
    window->show();
    const int result = app->exec();
    window.reset();
    stopLogFile();
    app.reset();
    return result;
}

void applyImagraAppearance(QApplication& app)
{
    // Constructed at 10 points, but the pixel size is what takes effect, whatever the
    // desktop's default point size is.
    QFont font(QStringLiteral("Microsoft YaHei"), 10, QFont::Normal, false);
    font.setPixelSize(13);
    QApplication::setFont(font);
    app.setStyleSheet(QString::fromLatin1(kApplicationStyleSheet));
}
