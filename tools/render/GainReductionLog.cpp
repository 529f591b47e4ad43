#include "GainReductionLog.h"

#include <algorithm>

namespace qbrender {

void GainReductionLog::Add(double seconds, const float db[3]) { mReadings.push_back({seconds, {db[0], db[1], db[2]}}); }

GainReductionSummary GainReductionLog::Summarize(int band, double untilSeconds) const {
  GainReductionSummary s;
  if (band < 0 || band > 2) return s;
  double sum = 0.0;
  size_t count = 0;
  for (const GainReductionReading& r : mReadings) {
    if (r.seconds < 0.0 || r.seconds >= untilSeconds) continue;
    const double reduction = -static_cast<double>(r.db[static_cast<size_t>(band)]);
    sum += reduction;
    s.peakDb = std::max(s.peakDb, reduction);
    ++count;
  }
  s.meanDb = count ? sum / static_cast<double>(count) : 0.0;
  return s;
}

}  // namespace qbrender
