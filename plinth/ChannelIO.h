#pragma once
// Parses a channel I/O string such as "2-2 2.2-2" into bus layouts.

#include <vector>

namespace plinth {

struct BusLayout {
  std::vector<int> inputBuses;   // channel count per input bus, main bus first
  std::vector<int> outputBuses;  // channel count per output bus, main bus first
};

// Returns one layout per blank-separated configuration; malformed entries are skipped.
std::vector<BusLayout> ParseChannelIO(const char* channelIOStr);

// Largest number of buses and channels over all layouts, for sizing wrapper buffers.
int MaxInputBuses(const std::vector<BusLayout>& layouts);
int MaxOutputBuses(const std::vector<BusLayout>& layouts);
int MaxInputChannels(const std::vector<BusLayout>& layouts);   // summed over buses
int MaxOutputChannels(const std::vector<BusLayout>& layouts);  // summed over buses

}  // namespace plinth
