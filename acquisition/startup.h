#pragma once

// Runs the acquisition program: a second start hands over to the first and returns 0;
// the first shows the main window and returns the event loop's result.
int runImagra(int argc, char* argv[]);
