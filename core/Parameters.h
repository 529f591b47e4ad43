#pragma once
// The fourteen host parameters, in index order. The index is also the
// parameter's id in both formats.

#include "plinth/Plugin.h"

namespace qb {

enum EParam {
  kFreqLow = 0,
  kFreqHigh,
  kThreshLow,
  kThreshMid,
  kThreshHigh,
  kRatioLow,
  kRatioMid,
  kRatioHigh,
  kAttack,
  kRelease,
  kMakeup,
  kLinkSlot,
  kHP,
  kLP,
  kNumParams
};

struct ParamSpec {
  const char* name;
  const char* label;
  bool isInt;
  double defaultValue;
  double minValue;
  double maxValue;
  double step;
};

// Index order, as above.
extern const ParamSpec kParamSpecs[kNumParams];

// Creates the fourteen parameters of a freshly constructed plug-in, in index order.
void InitParameters(plinth::Plugin& plugin);

}  // namespace qb
