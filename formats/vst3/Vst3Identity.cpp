#include "formats/vst3/Vst3Identity.h"

#include "core/Identity.h"
#include "core/Quellbridge.h"
#include "plinth/MakePlug.h"

namespace qb {
namespace {

plinth::Plugin* CreateQuellbridge(const plinth::InstanceInfo& info) { return plinth::MakePlug<Quellbridge>(info); }

// The class id's first two words are fixed for this product; the last two
// are the maker and plug-in codes.
constexpr plinth::vst3::ClassId kClassId =
    plinth::vst3::MakeClassId(0xF2AEE70Du, 0x00DE4F4Eu, static_cast<uint32_t>(kMakerId), static_cast<uint32_t>(kUniqueId));
static_assert(kClassId[0] == 0xF2 && kClassId[7] == 0x4E && kClassId[8] == 0x48 && kClassId[15] == 0x62);

}  // namespace

const plinth::vst3::FactoryDescription& Vst3Description() {
  static const plinth::vst3::FactoryDescription description = [] {
    plinth::vst3::FactoryDescription d;
    d.vendor = kMakerName;
    d.url = "";
    d.email = "";
    d.flags = 16;  // Unicode strings
    d.pluginClass.classId = kClassId;
    d.pluginClass.cardinality = 0x7FFFFFFF;  // many instances
    d.pluginClass.category = "Audio Module Class";
    d.pluginClass.name = kPluginName;
    d.pluginClass.classFlags = 2;  // simple mode supported
    d.pluginClass.subCategories = "Fx|Dynamics";
    d.pluginClass.vendor = "";
    d.pluginClass.version = kVersionString;
    d.pluginClass.sdkVersion = "VST 3.8.0";
    d.createPlugin = &CreateQuellbridge;
    return d;
  }();
  return description;
}

}  // namespace qb
