#pragma once

// The backend's diagnostics, in the form SANE's own backends print them: "[ostra] text" on
// standard error, shown up to the level in SANE_DEBUG_OSTRA (0 shows none; unset, 1).
// Level 1 is a failure the frontend sees as a status, 3 the course of a scan.

namespace ostra {

// Reads SANE_DEBUG_OSTRA; called by sane_init, again on every init.
void initDebug();
// Prints the formatted line when level is at most the chosen level.
void debug(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace ostra
