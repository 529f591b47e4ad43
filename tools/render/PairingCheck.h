#pragma once
// Whether the track's and the key's instances are paired with each other, as
// the registry shows it: both live slots found by name, each naming the
// other's instance id as its peer.

#include <optional>
#include <string>

#include "RegistryView.h"

namespace qbrender {

struct PairingState {
  bool paired = false;
  std::optional<SlotSnapshot> track;
  std::optional<SlotSnapshot> key;
  std::string problem;  // why not (yet) paired, for messages
};

PairingState CheckPairing(const RegistryView& registry, const std::string& trackName, const std::string& keyName);

// "0x1234abcd..." for an instance id.
std::string InstanceIdText(uint64_t id);
// A name with control characters escaped, quoted, safe to print.
std::string PrintableName(const std::string& name);

}  // namespace qbrender
