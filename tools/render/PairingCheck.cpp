#include "PairingCheck.h"

#include <cinttypes>
#include <cstdio>

namespace qbrender {

std::string InstanceIdText(uint64_t id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%016" PRIx64, id);
  return buf;
}

std::string PrintableName(const std::string& name) {
  std::string out = "\"";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

PairingState CheckPairing(const RegistryView& registry, const std::string& trackName, const std::string& keyName) {
  PairingState s;
  if (!registry.Initialised()) {
    s.problem = "the instance registry is not initialised";
    return s;
  }
  s.track = registry.FindByName(trackName);
  s.key = registry.FindByName(keyName);
  if (!s.track || !s.key) {
    s.problem = "no live instance named " + PrintableName(!s.track ? trackName : keyName) + " in the registry";
    return s;
  }
  auto peerText = [&registry](const SlotSnapshot& slot) {
    if (slot.peerId == 0) return std::string("nothing");
    for (const SlotSnapshot& other : registry.LiveSlots())
      if (other.instanceId == slot.peerId) return PrintableName(other.name) + " (" + InstanceIdText(other.instanceId) + ")";
    return "a missing instance (" + InstanceIdText(slot.peerId) + ")";
  };
  const bool trackToKey = s.track->peerId != 0 && s.track->peerId == s.key->instanceId;
  const bool keyToTrack = s.key->peerId != 0 && s.key->peerId == s.track->instanceId;
  if (!trackToKey) {
    s.problem = PrintableName(trackName) + " is paired with " + peerText(*s.track);
  } else if (!keyToTrack) {
    s.problem = PrintableName(keyName) + " is paired with " + peerText(*s.key);
  } else {
    s.paired = true;
  }
  return s;
}

}  // namespace qbrender
