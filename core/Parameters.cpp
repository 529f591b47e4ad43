#include "core/Parameters.h"

namespace qb {

const ParamSpec kParamSpecs[kNumParams] = {
    {"FreqLow", "Hz", false, 200.0, 20.0, 2000.0, 1.0},
    {"FreqHigh", "Hz", false, 5000.0, 500.0, 20000.0, 1.0},
    {"ThreshLow", "dB", false, -20.0, -60.0, 0.0, 0.1},
    {"ThreshMid", "dB", false, -20.0, -60.0, 0.0, 0.1},
    {"ThreshHigh", "dB", false, -20.0, -60.0, 0.0, 0.1},
    {"RatioLow", ":1", false, 4.0, 1.0, 20.0, 0.1},
    {"RatioMid", ":1", false, 4.0, 1.0, 20.0, 0.1},
    {"RatioHigh", ":1", false, 4.0, 1.0, 20.0, 0.1},
    {"Attack", "ms", false, 10.0, 0.1, 300.0, 0.1},
    {"Release", "ms", false, 100.0, 5.0, 2000.0, 1.0},
    {"Makeup", "dB", false, 0.0, -12.0, 24.0, 0.1},
    {"LinkSlot", "", true, 0.0, 0.0, 4.0, 1.0},
    {"HP", "Hz", false, 20.0, 20.0, 1000.0, 1.0},
    {"LP", "Hz", false, 20000.0, 1000.0, 20000.0, 1.0},
};

void InitParameters(plinth::Plugin& plugin) {
  for (int i = 0; i < kNumParams; ++i) {
    const ParamSpec& s = kParamSpecs[i];
    plinth::IParam* p = plugin.GetParam(i);
    if (s.isInt)
      p->InitInt(s.name, static_cast<int>(s.defaultValue), static_cast<int>(s.minValue), static_cast<int>(s.maxValue),
                 s.label);
    else
      p->InitDouble(s.name, s.defaultValue, s.minValue, s.maxValue, s.step, s.label);
  }
}

}  // namespace qb
