// The Quellbridge CLAP module: the exported clap_entry, its plug-in factory
// and the one descriptor it lists.
#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/Identity.h"
#include "core/Quellbridge.h"
#include "plinth/clap/ClapFactory.h"
#include "plinth/clap/OwnedDescriptor.h"

namespace {

// The CLAP version the module declares, independent of the headers it is built with.
constexpr clap_version_t kClapVersion{1, 2, 8};

// Module path and descriptor, set by clap_init and cleared by clap_deinit
// (both under sEntryMutex; the host calls neither concurrently with the
// factory). Plain storage without destructors: hosts may call clap_deinit
// from their own exit handlers, after the module's static destructors ran.
std::mutex sEntryMutex;
char gPluginPath[4096] = "";
plinth::clap::OwnedDescriptor* gPluginDesc = nullptr;

plinth::clap::OwnedDescriptor* BuildDescriptor() {
  plinth::clap::DescriptorFields f;
  f.clapVersion = kClapVersion;
  f.id = qb::kClapId;
  f.name = qb::kPluginName;
  f.vendor = qb::kMakerName;
  f.url = "";
  f.manualUrl = "";
  f.supportUrl = "";
  f.version = qb::kVersionString;
  f.description = qb::kDescription;
  f.features = {"audio-effect", "compressor", "spectral"};
  return new plinth::clap::OwnedDescriptor(std::move(f));
}

uint32_t GetPluginCount(const clap_plugin_factory_t*) noexcept { return 1; }

const clap_plugin_descriptor_t* GetPluginDescriptor(const clap_plugin_factory_t*, uint32_t index) noexcept {
  return index == 0 && gPluginDesc ? gPluginDesc->Get() : nullptr;
}

const clap_plugin_t* CreatePlugin(const clap_plugin_factory_t*, const clap_host_t* host,
                                  const char* pluginId) noexcept {
  if (!gPluginDesc || !pluginId || std::strcmp(pluginId, gPluginDesc->Get()->id) != 0) return nullptr;
  return plinth::clap::CreatePluginInstance<qb::Quellbridge>(gPluginDesc->Get(), host);
}

const clap_plugin_factory_t kFactory = {GetPluginCount, GetPluginDescriptor, CreatePlugin};

bool ClapInit(const char* path) noexcept {
  try {
    std::lock_guard<std::mutex> lock(sEntryMutex);
    std::snprintf(gPluginPath, sizeof gPluginPath, "%s", path ? path : "");
    delete gPluginDesc;
    gPluginDesc = nullptr;
    gPluginDesc = BuildDescriptor();
    return true;
  } catch (...) {
    return false;
  }
}

void ClapDeinit() noexcept {
  try {
    std::lock_guard<std::mutex> lock(sEntryMutex);
    gPluginPath[0] = '\0';
    delete gPluginDesc;
    gPluginDesc = nullptr;
  } catch (...) {
  }
}

const void* ClapGetFactory(const char* factoryId) noexcept {
  if (factoryId && std::strcmp(factoryId, CLAP_PLUGIN_FACTORY_ID) == 0) return &kFactory;
  return nullptr;
}

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {kClapVersion, ClapInit, ClapDeinit, ClapGetFactory};
