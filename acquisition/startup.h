#pragma once

class QApplication;

// Runs the acquisition program: a second start hands over to the first and returns 0;
// the first shows the main window and returns the event loop's result.
int runImagra(int argc, char* argv[]);

// Gives the application the program's font and its one style rule.
void applyImagraAppearance(QApplication& app);
