#include "core/Identity.h"

#include "core/Parameters.h"

namespace qb {

const plinth::Config& QuellbridgeConfig() {
  static const plinth::Config config = [] {
    plinth::Config c;
    c.nParams = kNumParams;
    c.nPresets = 1;
    c.channelIOStr = "2-2 2.2-2";
    c.pluginName = kPluginName;
    c.productName = kPluginName;
    c.mfrName = kMakerName;
    c.vendorVersion = plinth::PackVersion(1, 2, 0);
    c.uniqueID = kUniqueId;
    c.mfrID = kMakerId;
    c.latency = kDefaultLatency;
    c.plugDoesMidiIn = false;
    c.plugDoesMidiOut = false;
    c.plugDoesMPE = false;
    c.plugDoesChunks = true;
    c.plugType = plinth::PlugType::Effect;
    c.plugHasUI = true;
    c.plugWidth = 960;
    c.plugHeight = 600;
    c.plugMinWidth = 320;
    c.plugMinHeight = 200;
    c.plugMaxWidth = 2880;
    c.plugMaxHeight = 1800;
    c.plugHostResize = true;
    c.bundleID = "";
    c.appGroupID = "";
    return c;
  }();
  return config;
}

}  // namespace qb
