#pragma once
// How the Quellbridge VST3 module presents itself to hosts: factory and
// class information, and the creation of the plug-in.

#include "plinth/vst3/FactoryDescription.h"

namespace qb {

const plinth::vst3::FactoryDescription& Vst3Description();

}  // namespace qb
