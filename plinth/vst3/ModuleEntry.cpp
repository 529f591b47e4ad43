#include "plinth/vst3/ModuleEntry.h"

#include <mutex>

namespace plinth::vst3 {
namespace {
std::mutex sEntryMutex;
int sEntryCount = 0;  // guarded by sEntryMutex
}  // namespace

bool EnterModule(void* sharedLibraryHandle) noexcept {
  (void)sharedLibraryHandle;
  std::lock_guard<std::mutex> lock(sEntryMutex);
  if (sEntryCount == 0 && !InitModule()) return false;
  ++sEntryCount;
  return true;
}

bool ExitModule() noexcept {
  std::lock_guard<std::mutex> lock(sEntryMutex);
  if (sEntryCount <= 0) return false;
  if (--sEntryCount == 0) return DeinitModule();
  return true;
}

bool InitModule() noexcept { return true; }
bool DeinitModule() noexcept { return true; }

}  // namespace plinth::vst3
