#pragma once
// The module's plug-in factory (IPluginFactory3, also answering
// IPluginFactory and IPluginFactory2).

#include "pluginterfaces/base/ipluginbase.h"
#include "plinth/vst3/FactoryDescription.h"

namespace plinth::vst3 {

// GetPluginFactory semantics: the first call creates the factory (one
// reference, owned by the caller) and registers the description's class;
// later calls add a reference to the same factory and return it. Once the
// host released every reference, the next call creates a fresh one.
Steinberg::IPluginFactory* GetFactory(const FactoryDescription& description) noexcept;

}  // namespace plinth::vst3
