#pragma once

#include <functional>
#include <memory>

class QApplication;
class Widget;

// Runs the acquisition program: a second start hands over to the first and returns 0, or,
// when the first is on its way out, waits for it to end and runs in its place; 1 when the
// first neither answers nor ends. The first start shows the window makeWindow builds once
// the application exists (the system's own when empty) and returns the event loop's result.
int runImagra(int argc, char* argv[],
              const std::function<std::unique_ptr<Widget>()>& makeWindow = nullptr);

// Gives the application the program's font and its one style rule.
void applyImagraAppearance(QApplication& app);
