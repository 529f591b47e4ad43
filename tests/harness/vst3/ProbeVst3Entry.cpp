// The probe plug-in as a VST3 module, for wrapper behaviour the product does
// not show. Besides the VST3 entry points it exports hooks that let a test
// act as the plug-in (edits, gestures, latency, editor resize requests) on
// whatever thread the test chooses; they act on the most recently created
// probe instance, which the test keeps alive while it calls them.

#include <atomic>

#include "ProbePlugin.h"
#include "plinth/MakePlug.h"
#include "plinth/vst3/Factory.h"
#include "plinth/vst3/ModuleEntry.h"

namespace {

std::atomic<plinth::Plugin*> sLatest{nullptr};

plinth::Plugin* CreateProbe(const plinth::InstanceInfo& info) {
  plinth::Plugin* plugin = plinth::MakePlug<probe::ProbePlugin>(info);
  sLatest.store(plugin);
  return plugin;
}

const plinth::vst3::FactoryDescription& ProbeDescription() {
  static const plinth::vst3::FactoryDescription description = [] {
    plinth::vst3::FactoryDescription d;
    d.vendor = "QuellbridgeTests";
    d.flags = 16;
    d.pluginClass.classId = plinth::vst3::MakeClassId(0x50726F62u, 0x65567374u, static_cast<uint32_t>(plinth::FourCC("QbTs")),
                                                      static_cast<uint32_t>(plinth::FourCC("Prob")));
    d.pluginClass.name = "Probe";
    d.pluginClass.classFlags = 2;
    d.pluginClass.subCategories = "Fx";
    d.pluginClass.version = "0.1.0";
    d.pluginClass.sdkVersion = "VST 3.8.0";
    d.createPlugin = &CreateProbe;
    return d;
  }();
  return description;
}

}  // namespace

extern "C" {

SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
  return plinth::vst3::GetFactory(ProbeDescription());
}
SMTG_EXPORT_SYMBOL bool ModuleEntry(void* handle) { return plinth::vst3::EnterModule(handle); }
SMTG_EXPORT_SYMBOL bool ModuleExit() { return plinth::vst3::ExitModule(); }

// The plug-in sets parameter idx to plain itself and tells the host.
SMTG_EXPORT_SYMBOL void qb_probe_edit(int idx, double plain) {
  if (plinth::Plugin* p = sLatest.load()) {
    if (plinth::IParam* param = p->GetParam(idx)) param->Set(plain);
    p->InformHostOfParamChange(idx);
  }
}
SMTG_EXPORT_SYMBOL void qb_probe_begin_gesture(int idx) {
  if (plinth::Plugin* p = sLatest.load()) p->BeginInformHostOfParamChange(idx);
}
SMTG_EXPORT_SYMBOL void qb_probe_end_gesture(int idx) {
  if (plinth::Plugin* p = sLatest.load()) p->EndInformHostOfParamChange(idx);
}
SMTG_EXPORT_SYMBOL void qb_probe_set_latency(int samples) {
  if (plinth::Plugin* p = sLatest.load()) p->SetLatency(samples);
}
SMTG_EXPORT_SYMBOL bool qb_probe_request_resize(int width, int height) {
  plinth::Plugin* p = sLatest.load();
  return p && p->EditorResizeFromUI(width, height);
}

}  // extern "C"
