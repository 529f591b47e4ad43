#include "plinth/clap/PortLayout.h"

#include <algorithm>

#include "plinth/ChannelIO.h"

namespace plinth::clap {
namespace {

std::vector<int> WidestPerPosition(const std::vector<BusLayout>& layouts, bool inputs) {
  std::vector<int> ports;
  for (const BusLayout& l : layouts) {
    const std::vector<int>& buses = inputs ? l.inputBuses : l.outputBuses;
    if (buses.size() > ports.size()) ports.resize(buses.size(), 0);
    for (size_t i = 0; i < buses.size(); ++i) ports[i] = std::max(ports[i], buses[i]);
  }
  return ports;
}

int Sum(const std::vector<int>& v) {
  int s = 0;
  for (int n : v) s += n;
  return s;
}

}  // namespace

int PortLayout::TotalInputChannels() const { return Sum(inputs); }
int PortLayout::TotalOutputChannels() const { return Sum(outputs); }

PortLayout PortLayoutFromConfig(const Config& config) {
  const std::vector<BusLayout> layouts = ParseChannelIO(config.channelIOStr);
  return PortLayout{WidestPerPosition(layouts, true), WidestPerPosition(layouts, false)};
}

std::string PortName(bool isInput, int index) {
  if (index == 0) return isInput ? "Input" : "Output";
  if (isInput && index == 1) return "Sidechain";
  return (isInput ? "Aux In " : "Aux Out ") + std::to_string(index + 1);
}

}  // namespace plinth::clap
