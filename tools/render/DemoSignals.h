#pragma once
// The built-in demo: a sustained pad as the track and a beat as the key,
// synthesized here, deterministically (the same samples on every run). The beat's energy sits in the low band (a kick
// on every beat, below 200 Hz); its snare and hats stay well below the mid
// and high thresholds. The pad spreads over all three bands, so the render
// shows the pad ducked in the low band only.

#include <vector>

#include "RenderOptions.h"

namespace qbrender {

inline constexpr double kDemoSampleRate = 48000.0;
inline constexpr double kDemoTempoBpm = 120.0;

struct DemoMaterial {
  double sampleRate = kDemoSampleRate;
  std::vector<float> trackLeft, trackRight;  // the pad
  std::vector<float> keyLeft, keyRight;      // the beat
};

DemoMaterial SynthesizeDemo(double seconds);

// Settings the demo renders with unless the command line sets them.
std::vector<ParamAssignment> DemoParameterPresets();

}  // namespace qbrender
