#include "ProgressBar.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace qbrender {

ProgressBar::ProgressBar(bool enabled, std::string label) : mShown(enabled && isatty(STDERR_FILENO)), mLabel(std::move(label)) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(double fraction) {
  if (!mShown) return;
  fraction = std::clamp(fraction, 0.0, 1.0);
  const int percent = static_cast<int>(fraction * 100.0);
  const auto now = std::chrono::steady_clock::now();
  if (percent == mLastPercent || now - mLastDraw < std::chrono::milliseconds(100)) return;
  mLastPercent = percent;
  mLastDraw = now;
  Draw(fraction);
}

void ProgressBar::Draw(double fraction) {
  constexpr int kWidth = 40;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r%s [%s] %3d%%", mLabel.c_str(), bar.c_str(), static_cast<int>(fraction * 100.0));
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (!mShown) return;
  if (mLastPercent >= 0) std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  mShown = false;
}

}  // namespace qbrender
