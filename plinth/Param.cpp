#include "plinth/Param.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plinth {
namespace {

// Decimal places needed to show a step exactly (1 -> 0, 0.1 -> 1, 0.25 -> 2), at most 6.
int PrecisionForStep(double step) {
  if (!(step > 0.0)) return 2;
  for (int digits = 0; digits < 6; ++digits) {
    double scaled = step * std::pow(10.0, digits);
    if (std::fabs(scaled - std::round(scaled)) < 1e-9 * std::max(1.0, scaled)) return digits;
  }
  return 6;
}

}  // namespace

void IParam::InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                        const char* label) {
  mName = name ? name : "";
  mLabel = label ? label : "";
  mType = Type::Double;
  mMin = minVal;
  mMax = maxVal > minVal ? maxVal : minVal;
  mStep = step > 0.0 ? step : 0.0;
  mPrecision = PrecisionForStep(mStep);
  mDefault = Constrain(defaultVal);
  mValue.store(mDefault, std::memory_order_relaxed);
}

void IParam::InitInt(const char* name, int defaultVal, int minVal, int maxVal, const char* label) {
  mName = name ? name : "";
  mLabel = label ? label : "";
  mType = Type::Int;
  mMin = minVal;
  mMax = maxVal > minVal ? maxVal : minVal;
  mStep = 1.0;
  mPrecision = 0;
  mDefault = Constrain(defaultVal);
  mValue.store(mDefault, std::memory_order_relaxed);
}

double IParam::Constrain(double plain) const {
  if (std::isnan(plain)) return mDefault;
  double v = plain;
  // Stepped (integer) parameters land on a step; doubles are continuous, their
  // step only sets the display precision.
  if (mType == Type::Int && std::isfinite(v)) v = std::round(v / mStep) * mStep;
  if (v < mMin) v = mMin;
  if (v > mMax) v = mMax;
  return v;
}

double IParam::ToNormalized(double plain) const {
  double range = mMax - mMin;
  if (!(range > 0.0)) return 0.0;
  double n = (Constrain(plain) - mMin) / range;
  return n < 0.0 ? 0.0 : (n > 1.0 ? 1.0 : n);
}

double IParam::FromNormalized(double normalized) const {
  if (std::isnan(normalized)) return mDefault;
  double n = normalized < 0.0 ? 0.0 : (normalized > 1.0 ? 1.0 : normalized);
  return Constrain(mMin + n * (mMax - mMin));
}

int IParam::StepCount() const {
  if (mType == Type::Int) return static_cast<int>(std::lround(mMax - mMin));
  return 0;
}

std::string IParam::DisplayText(double plain) const {
  char buf[64];
  double v = Constrain(plain);
  if (mType == Type::Int) {
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(std::lround(v)));
  } else {
    std::snprintf(buf, sizeof buf, "%.*f", mPrecision, v);
    if (std::strcmp(buf, "-0") == 0 || (buf[0] == '-' && std::atof(buf) == 0.0)) std::memmove(buf, buf + 1, std::strlen(buf));
  }
  return buf;
}

bool IParam::Parse(const char* text, double& plainOut) const {
  if (!text) return false;
  while (*text == ' ' || *text == '\t') ++text;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') {
    // Only the parameter's own label may follow the number.
    size_t labelLen = mLabel.size();
    if (labelLen == 0 || std::strncmp(end, mLabel.c_str(), labelLen) != 0) return false;
    end += labelLen;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return false;
  }
  plainOut = Constrain(v);
  return true;
}

}  // namespace plinth
