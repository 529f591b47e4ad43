#pragma once
// Test processes run with a private, empty /dev/shm (their own mount namespace
// and tmpfs), so no test ever sees or disturbs the registry that real plug-in
// instances on the machine use.

namespace qbtest {

// Re-executes the current program inside a fresh mount namespace with its own
// tmpfs on /dev/shm unless it already runs in one. Exits on failure rather
// than running against the machine's shared memory.
void EnsurePrivateShm(int argc, char** argv);

// True when the process runs as real root (not just inside a user namespace),
// so tests may switch to another user id.
bool CanSwitchUser();

}  // namespace qbtest
