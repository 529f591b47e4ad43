#pragma once
// Ctrl-C and termination requests end a render cleanly: the loops poll
// Interrupted() and unwind, so no partial output is left behind.

namespace qbrender {

// Installs handlers for SIGINT, SIGTERM and SIGHUP that only set a flag.
void InstallInterruptHandlers();
bool Interrupted();

}  // namespace qbrender
