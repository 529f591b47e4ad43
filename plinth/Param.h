#pragma once
// One host-visible parameter: metadata set once at construction, and an atomic
// plain value that any thread may read or write.

#include <atomic>
#include <string>

namespace plinth {

class IParam {
 public:
  enum class Type { None, Double, Int };

  // Metadata. Call once, before the wrapper publishes the parameter.
  void InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                  const char* label = "");
  void InitInt(const char* name, int defaultVal, int minVal, int maxVal, const char* label = "");

  // Plain value, lock-free on every thread.
  double Value() const { return mValue.load(std::memory_order_relaxed); }
  int Int() const { return static_cast<int>(Value()); }
  // Rounds an integer parameter to its step, clamps to the range, stores.
  // (A double's step is its display granularity; doubles stay continuous.)
  void Set(double plain) { mValue.store(Constrain(plain), std::memory_order_relaxed); }
  void SetNormalized(double normalized) { Set(FromNormalized(normalized)); }
  void SetToDefault() { Set(mDefault); }
  double GetNormalized() const { return ToNormalized(Value()); }

  // Pure conversions; the result of FromNormalized is constrained.
  double Constrain(double plain) const;
  double ToNormalized(double plain) const;
  double FromNormalized(double normalized) const;

  // Display text of a plain value (without the label), and its inverse. Parse
  // accepts an optional trailing label and surrounding blanks; it returns false
  // for text that holds no number. The parsed value is constrained.
  std::string DisplayText(double plain) const;
  bool Parse(const char* text, double& plainOut) const;

  const char* Name() const { return mName.c_str(); }
  const char* Label() const { return mLabel.c_str(); }
  Type GetType() const { return mType; }
  double Min() const { return mMin; }
  double Max() const { return mMax; }
  double Step() const { return mStep; }
  double Default() const { return mDefault; }
  // Number of discrete steps for hosts that ask (0 = continuous).
  int StepCount() const;
  // Decimal places used for display, from the step.
  int DisplayPrecision() const { return mPrecision; }

 private:
  std::string mName;
  std::string mLabel;
  Type mType = Type::None;
  double mMin = 0.0;
  double mMax = 1.0;
  double mStep = 0.0;
  double mDefault = 0.0;
  int mPrecision = 2;
  std::atomic<double> mValue{0.0};
};

}  // namespace plinth
