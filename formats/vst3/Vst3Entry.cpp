// The exported entry points of the Quellbridge VST3 module.
#include "formats/vst3/Vst3Identity.h"
#include "plinth/vst3/Factory.h"
#include "plinth/vst3/ModuleEntry.h"

extern "C" {

SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
  return plinth::vst3::GetFactory(qb::Vst3Description());
}

SMTG_EXPORT_SYMBOL bool ModuleEntry(void* sharedLibraryHandle) { return plinth::vst3::EnterModule(sharedLibraryHandle); }

SMTG_EXPORT_SYMBOL bool ModuleExit() { return plinth::vst3::ExitModule(); }

}  // extern "C"
