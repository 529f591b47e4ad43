#pragma once
// Sums of sines fed into an instance and the amplitude of one frequency in
// what comes out: a single-bin DFT, exact for a sine that completes a whole
// number of cycles in the window.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace qbpeer {

struct Tone {
  double hz = 0.0;
  double amplitude = 0.0;
};

// "silence" or "<hz>:<amplitude>[,<hz>:<amplitude>...]". False when the text
// is not understood (tones is then unchanged).
bool ParseTones(const std::string& text, std::vector<Tone>& tones);

// Sample t (counted from the first sample ever fed) of the sum of the tones.
double ToneSample(const std::vector<Tone>& tones, int64_t t, double sampleRate);

// Amplitude of the sine at hz in x[0..n), estimated by correlating with a
// cosine and a sine of that frequency: 2 |sum x[i] e^(-i w i)| / n.
double ToneAmplitude(const double* x, int n, double hz, double sampleRate);

}  // namespace qbpeer
