#pragma once
// ModuleEntry / ModuleExit with nested-entry counting: InitModule runs on
// the first entry, DeinitModule on the last exit.

namespace plinth::vst3 {

bool EnterModule(void* sharedLibraryHandle) noexcept;
// Returns false for an exit without a matching entry.
bool ExitModule() noexcept;

// Module-wide set-up and tear-down; nothing to do, both succeed.
bool InitModule() noexcept;
bool DeinitModule() noexcept;

}  // namespace plinth::vst3
