#pragma once
// A one-line progress bar on stderr, shown only when stderr is a terminal.

#include <chrono>
#include <string>

namespace qbrender {

class ProgressBar {
 public:
  // Shown only when enabled and stderr is a terminal.
  ProgressBar(bool enabled, std::string label);
  ~ProgressBar();
  // fraction in [0, 1]; redraws at most a few times a second.
  void Update(double fraction);
  // Clears the line.
  void Finish();

 private:
  void Draw(double fraction);
  bool mShown;
  std::string mLabel;
  int mLastPercent = -1;
  std::chrono::steady_clock::time_point mLastDraw{};
};

}  // namespace qbrender
