#pragma once

// Runs the hotspot program: a second start hands over to the first and returns 0; the
// first puts its icon into the tray and returns the event loop's result.
int runBeaconry(int argc, char* argv[]);
