#pragma once
// What a module's glue tells the VST3 wrapper about itself: the factory
// information, the one class it publishes, and how to create the plug-in.

#include <cstdint>

#include "plinth/Plugin.h"
#include "plinth/vst3/ClassId.h"

namespace plinth::vst3 {

// Creates the plug-in object (through plinth::MakePlug); may throw.
using CreatePluginFn = Plugin* (*)(const InstanceInfo& info);

struct ClassDescription {
  ClassId classId{};
  int32_t cardinality = 0x7FFFFFFF;
  const char* category = "Audio Module Class";
  const char* name = "";
  uint32_t classFlags = 0;
  const char* subCategories = "";
  const char* vendor = "";  // empty: hosts use the factory vendor
  const char* version = "";
  const char* sdkVersion = "";
};

struct FactoryDescription {
  const char* vendor = "";
  const char* url = "";
  const char* email = "";
  int32_t flags = 0;
  ClassDescription pluginClass;
  CreatePluginFn createPlugin = nullptr;
};

}  // namespace plinth::vst3
