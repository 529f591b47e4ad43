#pragma once
// How --bands and --edges map onto an instance's parameters and onto the band
// fields of its state chunk.
//
// One band covers 20..20000 Hz with the Low threshold and ratio; two bands
// split at FreqLow, the upper one with the Mid settings; three bands split at
// FreqLow and FreqHigh. The plug-in maps a band set onto its parameters the
// same way whenever it re-applies one (FreqLow 20 and FreqHigh 20000 for one
// band, the upper band's settings standing in for the missing ones), so the
// parameters are made to agree with the band set up front: the audio is then
// the same whichever of the two the plug-in goes by.

#include <string>
#include <vector>

#include "ParameterSettings.h"

namespace qbrender {

struct BandLayout {
  int count = 3;
  double freqLow = 200.0;   // FreqLow as set on the instance
  double freqHigh = 5000.0;  // FreqHigh as set on the instance
  float chunkFreqs[6] = {};  // lo0, hi0, lo1, hi1, lo2, hi2 as stored in the state chunk
};

// A band as reported: which of the plug-in's three gain-reduction values
// (low, mid, high split) describes it, and its range in Hz.
struct ReportedBand {
  int gainReductionIndex = 0;
  double lo = 0.0;
  double hi = 0.0;
  std::string name;
};

inline constexpr double kLowestBandHz = 20.0;
inline constexpr double kHighestBandHz = 20000.0;

// Resolves count (1..3) and edges (count - 1 values, or empty to take
// FreqLow / FreqHigh from values) for one instance: validates the edges
// against the FreqLow / FreqHigh ranges, writes the split and the stand-in
// thresholds and ratios into values, and fills layout. Settings that have no
// effect with the chosen count add a line to warnings.
bool ResolveBandLayout(int count, const std::vector<double>& edges, const ParameterTable& table,
                       const std::vector<bool>& explicitlySet, std::vector<double>& values, BandLayout& layout,
                       std::vector<std::string>& warnings, std::string& error);

std::vector<ReportedBand> ReportedBands(const BandLayout& layout);

}  // namespace qbrender
