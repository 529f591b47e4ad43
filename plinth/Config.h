#pragma once
// The static description of a plug-in that every format wrapper reads:
// identity, buses, latency, editor size limits. Filled once per product.

namespace plinth {

enum class PlugType { Effect, Instrument, MidiEffect };

struct Config {
  int nParams = 0;
  int nPresets = 0;
  const char* channelIOStr = "2-2";  // configurations separated by blanks, "-" between ins and outs, "." between buses
  const char* pluginName = "";
  const char* productName = "";
  const char* mfrName = "";
  int vendorVersion = 0;  // major << 16 | minor << 8 | patch
  int uniqueID = 0;       // four characters packed big-endian
  int mfrID = 0;          // four characters packed big-endian
  int latency = 0;        // samples reported until the plug-in sets another value
  bool plugDoesMidiIn = false;
  bool plugDoesMidiOut = false;
  bool plugDoesMPE = false;
  bool plugDoesChunks = false;
  PlugType plugType = PlugType::Effect;
  bool plugHasUI = false;
  int plugWidth = 0;
  int plugHeight = 0;
  int plugMinWidth = 0;
  int plugMinHeight = 0;
  int plugMaxWidth = 0;
  int plugMaxHeight = 0;
  bool plugHostResize = false;
  const char* bundleID = "";
  const char* appGroupID = "";
};

// Packs four characters big-endian into an int ("Hvqb" -> 0x48767162).
constexpr int FourCC(const char (&s)[5]) {
  return static_cast<int>((static_cast<unsigned>(static_cast<unsigned char>(s[0])) << 24) |
                          (static_cast<unsigned>(static_cast<unsigned char>(s[1])) << 16) |
                          (static_cast<unsigned>(static_cast<unsigned char>(s[2])) << 8) |
                          static_cast<unsigned>(static_cast<unsigned char>(s[3])));
}

// "1.2.0" style version packing.
constexpr int PackVersion(int major, int minor, int patch) { return (major << 16) | (minor << 8) | patch; }

}  // namespace plinth
