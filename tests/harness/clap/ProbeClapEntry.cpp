// The probe CLAP module: the framework's test plug-in behind the CLAP
// wrapper, plus hooks that let a test act as the plug-in's own editor.
#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <cstring>
#include <mutex>

#include "ProbeClapHooks.h"
#include "ProbePlugin.h"
#include "plinth/clap/ClapFactory.h"
#include "plinth/clap/OwnedDescriptor.h"

namespace {

std::mutex sEntryMutex;
plinth::clap::OwnedDescriptor* sDescriptor = nullptr;  // between init and deinit

uint32_t GetPluginCount(const clap_plugin_factory_t*) noexcept { return 1; }

const clap_plugin_descriptor_t* GetPluginDescriptor(const clap_plugin_factory_t*, uint32_t index) noexcept {
  return index == 0 && sDescriptor ? sDescriptor->Get() : nullptr;
}

const clap_plugin_t* CreatePlugin(const clap_plugin_factory_t*, const clap_host_t* host, const char* id) noexcept {
  if (!sDescriptor || !id || std::strcmp(id, sDescriptor->Get()->id) != 0) return nullptr;
  return plinth::clap::CreatePluginInstance<probe::ProbePlugin>(sDescriptor->Get(), host);
}

const clap_plugin_factory_t kFactory = {GetPluginCount, GetPluginDescriptor, CreatePlugin};

bool Init(const char*) noexcept {
  std::lock_guard<std::mutex> lock(sEntryMutex);
  delete sDescriptor;
  plinth::clap::DescriptorFields f;
  f.clapVersion = CLAP_VERSION;
  f.id = kProbeClapId;
  f.name = "Probe";
  f.vendor = "QuellbridgeTests";
  f.version = "0.1.0";
  f.description = "Framework test plug-in";
  f.features = {"audio-effect"};
  sDescriptor = new plinth::clap::OwnedDescriptor(std::move(f));
  return true;
}

void Deinit() noexcept {
  std::lock_guard<std::mutex> lock(sEntryMutex);
  delete sDescriptor;
  sDescriptor = nullptr;
}

const void* GetFactory(const char* id) noexcept {
  return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
}

plinth::Plugin* PluginOf(const clap_plugin_t* p) {
  plinth::clap::ClapPlugin* w = plinth::clap::ClapPlugin::FromClap(p);
  return w ? &w->GetPlugin() : nullptr;
}

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION, Init, Deinit, GetFactory};

extern "C" {

void qb_probe_edit_param(const clap_plugin_t* plugin, int paramIdx, double plain, int withGesture) {
  plinth::Plugin* p = PluginOf(plugin);
  plinth::IParam* param = p ? p->GetParam(paramIdx) : nullptr;
  if (!param) return;
  if (withGesture) p->BeginInformHostOfParamChange(paramIdx);
  param->Set(plain);
  p->OnParamChange(paramIdx);
  p->InformHostOfParamChange(paramIdx);
  if (withGesture) p->EndInformHostOfParamChange(paramIdx);
}

void qb_probe_gesture(const clap_plugin_t* plugin, int paramIdx, int begin) {
  if (plinth::Plugin* p = PluginOf(plugin)) {
    if (begin)
      p->BeginInformHostOfParamChange(paramIdx);
    else
      p->EndInformHostOfParamChange(paramIdx);
  }
}

void qb_probe_set_latency(const clap_plugin_t* plugin, int samples) {
  if (plinth::Plugin* p = PluginOf(plugin)) p->SetLatency(samples);
}

int qb_probe_request_resize(const clap_plugin_t* plugin, int width, int height) {
  plinth::Plugin* p = PluginOf(plugin);
  return p && p->EditorResizeFromUI(width, height) ? 1 : 0;
}

}  // extern "C"
