#pragma once
// The CLAP audio ports a plug-in offers, derived from its channel I/O string:
// as many input ports as the configuration with the most input buses has,
// each as wide as the widest bus at that position (likewise for outputs).
// Port 0 is the main port; input port 0 and output port 0 form an in-place pair.

#include <string>
#include <vector>

#include "plinth/Config.h"

namespace plinth::clap {

struct PortLayout {
  std::vector<int> inputs;   // channel count per input port
  std::vector<int> outputs;  // channel count per output port

  int TotalInputChannels() const;
  int TotalOutputChannels() const;
};

PortLayout PortLayoutFromConfig(const Config& config);

// Host-visible port names: "Input", "Sidechain", "Aux In 3"...; "Output", "Aux Out 2"...
std::string PortName(bool isInput, int index);

}  // namespace plinth::clap
