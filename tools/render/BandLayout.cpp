#include "BandLayout.h"

#include <cstdio>

namespace qbrender {
namespace {

std::string Hz(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

struct BandParams {
  int freqLow = -1, freqHigh = -1;
  int thresh[3] = {-1, -1, -1};
  int ratio[3] = {-1, -1, -1};
};

bool FindBandParams(const ParameterTable& table, BandParams& b, std::string& error) {
  struct Want {
    const char* name;
    int* index;
  };
  const Want wanted[] = {{"FreqLow", &b.freqLow},     {"FreqHigh", &b.freqHigh},    {"ThreshLow", &b.thresh[0]},
                         {"ThreshMid", &b.thresh[1]}, {"ThreshHigh", &b.thresh[2]}, {"RatioLow", &b.ratio[0]},
                         {"RatioMid", &b.ratio[1]},   {"RatioHigh", &b.ratio[2]}};
  for (const Want& w : wanted) {
    *w.index = table.IndexOf(w.name);
    if (*w.index < 0) {
      error = std::string("the module has no parameter ") + w.name + "; is it a Quellbridge module?";
      return false;
    }
  }
  return true;
}

bool CheckEdge(const qbhost::ParamInfo& p, double edge, std::string& error) {
  if (edge >= p.minValue && edge <= p.maxValue) return true;
  error = "band edge " + Hz(edge) + " Hz is out of range: as " + p.name + " it takes " + DescribeRange(p);
  return false;
}

}  // namespace

bool ResolveBandLayout(int count, const std::vector<double>& edges, const ParameterTable& table,
                       const std::vector<bool>& explicitlySet, std::vector<double>& values, BandLayout& layout,
                       std::vector<std::string>& warnings, std::string& error) {
  BandParams b;
  if (!FindBandParams(table, b, error)) return false;
  if (count < 1 || count > 3) {
    error = "the band count must be 1, 2 or 3";
    return false;
  }
  if (edges.size() > 0 && edges.size() != static_cast<size_t>(count - 1)) {
    error = "--bands " + std::to_string(count) + " takes " + std::to_string(count - 1) + " edge(s)";
    return false;
  }
  const auto set = [&explicitlySet](int index) {
    return index >= 0 && static_cast<size_t>(index) < explicitlySet.size() && explicitlySet[static_cast<size_t>(index)];
  };
  if (!edges.empty() && (set(b.freqLow) || set(b.freqHigh))) {
    error = "the band edges are given twice: use either --edges or FreqLow / FreqHigh";
    return false;
  }
  const auto& params = table.Params();
  const qbhost::ParamInfo& lowParam = params[static_cast<size_t>(b.freqLow)];
  const qbhost::ParamInfo& highParam = params[static_cast<size_t>(b.freqHigh)];
  double& freqLow = values[static_cast<size_t>(b.freqLow)];
  double& freqHigh = values[static_cast<size_t>(b.freqHigh)];
  auto unused = [&](int index, const char* why) {
    if (set(index)) warnings.push_back(params[static_cast<size_t>(index)].name + " has no effect " + why);
  };

  layout = BandLayout{};
  layout.count = count;
  if (count == 3) {
    const double e1 = edges.empty() ? freqLow : edges[0];
    const double e2 = edges.empty() ? freqHigh : edges[1];
    if (!CheckEdge(lowParam, e1, error) || !CheckEdge(highParam, e2, error)) return false;
    if (!(e1 < e2)) {
      error = "band edges must rise: " + Hz(e1) + " Hz is not below " + Hz(e2) + " Hz";
      return false;
    }
    freqLow = e1;
    freqHigh = e2;
  } else if (count == 2) {
    const double e1 = edges.empty() ? freqLow : edges[0];
    if (!CheckEdge(lowParam, e1, error)) return false;
    unused(b.freqHigh, "with two bands (the upper band reaches 20000 Hz)");
    freqLow = e1;
    freqHigh = kHighestBandHz;
  } else {
    unused(b.freqLow, "with one band");
    unused(b.freqHigh, "with one band");
    freqLow = kLowestBandHz;
    freqHigh = kHighestBandHz;
  }

  // The settings of the bands that do not exist follow the band that covers
  // their frequencies, as in the plug-in's own mapping of a band set.
  const char* why = count == 1 ? "with one band (it uses the Low settings)"
                               : "with two bands (the upper band uses the Mid settings)";
  for (int band = count; band < 3; ++band) {
    unused(b.thresh[band], why);
    unused(b.ratio[band], why);
    values[static_cast<size_t>(b.thresh[band])] = values[static_cast<size_t>(b.thresh[count - 1])];
    values[static_cast<size_t>(b.ratio[band])] = values[static_cast<size_t>(b.ratio[count - 1])];
  }

  layout.freqLow = freqLow;
  layout.freqHigh = freqHigh;
  std::vector<double> cuts = {kLowestBandHz};
  if (count >= 2) cuts.push_back(freqLow);
  if (count == 3) cuts.push_back(freqHigh);
  cuts.push_back(kHighestBandHz);
  for (int i = 0; i < count; ++i) {
    layout.chunkFreqs[2 * i] = static_cast<float>(cuts[static_cast<size_t>(i)]);
    layout.chunkFreqs[2 * i + 1] = static_cast<float>(cuts[static_cast<size_t>(i) + 1]);
  }
  return true;
}

std::vector<ReportedBand> ReportedBands(const BandLayout& layout) {
  // The plug-in's gain reduction is split low / mid / high at FreqLow and
  // FreqHigh: one band is its mid part (20..20000), two bands are low and mid.
  std::vector<ReportedBand> out;
  if (layout.count == 1) {
    out.push_back({1, kLowestBandHz, kHighestBandHz, "all"});
  } else if (layout.count == 2) {
    out.push_back({0, kLowestBandHz, layout.freqLow, "low"});
    out.push_back({1, layout.freqLow, kHighestBandHz, "high"});
  } else {
    out.push_back({0, kLowestBandHz, layout.freqLow, "low"});
    out.push_back({1, layout.freqLow, layout.freqHigh, "mid"});
    out.push_back({2, layout.freqHigh, kHighestBandHz, "high"});
  }
  return out;
}

}  // namespace qbrender
