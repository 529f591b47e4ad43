#pragma once
// Creating a CLAP instance of a plug-in class, for a module's factory.

#include <clap/host.h>
#include <clap/plugin.h>

#include <memory>

#include "plinth/MakePlug.h"
#include "plinth/clap/ClapPlugin.h"

namespace plinth::clap {

// Builds T through MakePlug with the host as construction record and wraps it.
// Returns null when host or descriptor is missing or construction fails.
template <class T>
const clap_plugin_t* CreatePluginInstance(const clap_plugin_descriptor_t* desc, const clap_host_t* host) noexcept {
  if (!desc || !host) return nullptr;
  try {
    InstanceInfo info;
    info.formatHost = host;
    std::unique_ptr<Plugin> plugin(MakePlug<T>(info));
    return (new ClapPlugin(desc, host, std::move(plugin)))->ClapObject();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace plinth::clap
