#include "core/Quellbridge.h"

#include <cstdio>

#include "core/Identity.h"

namespace qb {
namespace {
// Instance numbers are per process and per module, never reused.
std::atomic<int> sInstanceCounter{0};
}  // namespace

Quellbridge::Quellbridge(const plinth::InstanceInfo& info) : plinth::Plugin(info, QuellbridgeConfig()) {
  InitParameters(*this);
  const int number = sInstanceCounter.fetch_add(1) + 1;
  std::snprintf(instanceName, sizeof instanceName, "Quellbridge #%d", number);
}

Quellbridge::~Quellbridge() = default;

void Quellbridge::OnParamChange(int paramIdx) { (void)paramIdx; }

}  // namespace qb
