#pragma once
// Turns the host's CLAP audio buffers into the double-precision channel
// pointers Plugin::ProcessBlock takes.
//
// Inputs are always copied (64-bit) or converted (32-bit) into buffers of our
// own, so in-place hosts and plug-ins that write outputs before reading every
// input both work. 64-bit outputs are written directly; 32-bit outputs go
// through our buffers and are converted back. Missing ports and channels read
// silence and write into scratch buffers. Host output channels the plug-in
// does not have are silenced.
//
// Configure runs on the main thread while the host is not processing; every
// other call runs on the audio thread and neither allocates nor blocks.

#include <clap/process.h>

#include <vector>

#include "plinth/clap/PortLayout.h"

namespace plinth::clap {

class ProcessBuffers {
 public:
  // Sizes every buffer for blocks of up to maxFrames (at least 1). May throw bad_alloc.
  void Configure(const PortLayout& layout, int maxFrames);
  int MaxFrames() const { return mMaxFrames; }

  // Audio thread: reads which host channels exist for this block.
  void Bind(const clap_process_t& process);
  // Channels the host connected in this block, summed over ports (capped at the layout).
  int ConnectedInputs() const { return mConnectedIn; }
  int ConnectedOutputs() const { return mConnectedOut; }

  // Audio thread: frames [offset, offset + n) with n <= MaxFrames().
  void PrepareChunk(uint32_t offset, int n);
  void FinishChunk(uint32_t offset, int n);
  // Audio thread: zero every host output channel for the whole block (failure path).
  void SilenceHostOutputs(const clap_process_t& process) const;
  // Audio thread: zero host output channels and ports the plug-in does not have.
  void SilenceUndeclaredOutputs(const clap_process_t& process) const;

  double** Inputs() { return mInPtrs.data(); }
  double** Outputs() { return mOutPtrs.data(); }

 private:
  struct InSlot {
    const float* src32 = nullptr;
    const double* src64 = nullptr;
  };
  struct OutSlot {
    float* dst32 = nullptr;
    double* dst64 = nullptr;
  };

  PortLayout mLayout;
  int mMaxFrames = 0;
  std::vector<double> mStorage;  // one MaxFrames() run per input and per output channel
  std::vector<InSlot> mIn;
  std::vector<OutSlot> mOut;
  std::vector<double*> mInPtrs;
  std::vector<double*> mOutPtrs;
  std::vector<double*> mOwnOut;  // our buffer for each output channel
  int mConnectedIn = 0;
  int mConnectedOut = 0;
};

}  // namespace plinth::clap
