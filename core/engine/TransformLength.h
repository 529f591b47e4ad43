#pragma once
// Transform length of the engine for a sample rate: about 21 ms of audio,
// rounded up to 512, 1024, 2048 or 4096 points. The plug-in writes it into the
// registry and reports a latency of twice this length.

namespace qb {

// Pure. Non-finite or non-positive rates give 512.
int transformLengthForSampleRate(double sampleRate) noexcept;

}  // namespace qb
