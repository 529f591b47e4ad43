#include "plinth/ChannelIO.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace plinth {
namespace {

// "2.2" -> {2, 2}; returns false on anything that is not positive integers separated by dots.
bool ParseBusList(const std::string& text, std::vector<int>& out) {
  out.clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t dot = text.find('.', pos);
    std::string item = text.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (item.empty() || !std::all_of(item.begin(), item.end(), [](unsigned char c) { return std::isdigit(c); }))
      return false;
    int n = std::atoi(item.c_str());
    if (n <= 0 || n > 64) return false;
    out.push_back(n);
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  return !out.empty();
}

}  // namespace

std::vector<BusLayout> ParseChannelIO(const char* channelIOStr) {
  std::vector<BusLayout> layouts;
  if (!channelIOStr) return layouts;
  std::string all(channelIOStr);
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find(' ', pos);
    std::string config = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? all.size() : end + 1;
    if (config.empty()) continue;
    size_t dash = config.find('-');
    if (dash == std::string::npos) continue;
    BusLayout layout;
    if (!ParseBusList(config.substr(0, dash), layout.inputBuses)) continue;
    if (!ParseBusList(config.substr(dash + 1), layout.outputBuses)) continue;
    layouts.push_back(std::move(layout));
  }
  return layouts;
}

namespace {
template <typename F>
int MaxOver(const std::vector<BusLayout>& layouts, F f) {
  int best = 0;
  for (const BusLayout& l : layouts) best = std::max(best, f(l));
  return best;
}
int Sum(const std::vector<int>& v) {
  int s = 0;
  for (int n : v) s += n;
  return s;
}
}  // namespace

int MaxInputBuses(const std::vector<BusLayout>& l) {
  return MaxOver(l, [](const BusLayout& b) { return static_cast<int>(b.inputBuses.size()); });
}
int MaxOutputBuses(const std::vector<BusLayout>& l) {
  return MaxOver(l, [](const BusLayout& b) { return static_cast<int>(b.outputBuses.size()); });
}
int MaxInputChannels(const std::vector<BusLayout>& l) {
  return MaxOver(l, [](const BusLayout& b) { return Sum(b.inputBuses); });
}
int MaxOutputChannels(const std::vector<BusLayout>& l) {
  return MaxOver(l, [](const BusLayout& b) { return Sum(b.outputBuses); });
}

}  // namespace plinth
