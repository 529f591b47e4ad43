#pragma once
// The double-precision buffers the plug-in processes in. Host samples (32 or
// 64 bit) are gathered into them before each piece of a block and the
// results scattered back afterwards, so the plug-in always sees valid,
// distinct pointers for every channel of every bus: channels the host does
// not deliver read silence, outputs it does not take go to scratch memory,
// and in-place host buffers (in == out) are safe.
//
// Threads: Allocate and SetInputInUse on the main thread while no block is
// processed (the wrapper's AudioGate ensures that); the rest on the audio
// thread, which never allocates.

#include <atomic>
#include <memory>
#include <vector>

#include "pluginterfaces/vst/ivstaudioprocessor.h"

namespace plinth::vst3 {

class ProcessBuffers {
 public:
  // Channel counts per bus (largest arrangement of each) and the frames per
  // piece. May allocate.
  void Allocate(const std::vector<int>& inputBusChannels, const std::vector<int>& outputBusChannels, int maxFrames);
  bool IsAllocated() const { return mMaxFrames > 0; }
  int MaxFrames() const { return mMaxFrames; }

  // How many channels of input bus `bus` carry audio (0 while the bus is
  // inactive: it then reads silence whatever the host passes).
  void SetInputInUse(int bus, int channels);

  // Copies frames [offset, offset + frames) of the host's input buses in,
  // silences the channels it does not deliver, and clears the outputs.
  // frames <= MaxFrames().
  void Gather(const Steinberg::Vst::ProcessData& data, bool is64, int offset, int frames);
  // Copies the outputs back into every host output channel the host passed.
  void Scatter(Steinberg::Vst::ProcessData& data, bool is64, int offset, int frames) const;

  // One pointer per channel of every input bus, then of every output bus.
  double** Inputs() { return mInputPtrs.data(); }
  double** Outputs() { return mOutputPtrs.data(); }

 private:
  struct BusSlice {
    int first = 0;     // index of the bus's first channel
    int channels = 0;  // its largest arrangement
  };

  std::vector<BusSlice> mInBuses;
  std::vector<BusSlice> mOutBuses;
  std::unique_ptr<std::atomic<int>[]> mInputInUse;  // per input bus; main writes, audio reads
  std::vector<double> mStorage;
  std::vector<double*> mInputPtrs;
  std::vector<double*> mOutputPtrs;
  int mMaxFrames = 0;
};

// Copies the main input to the main output channel by channel (mono output:
// the first input channel), silencing output channels without a source.
// Reads and writes the host's buffers directly; in == out is fine.
void CopyThrough(Steinberg::Vst::ProcessData& data, bool is64);

// Writes silence into every host output channel.
void SilenceOutputs(Steinberg::Vst::ProcessData& data, bool is64);

}  // namespace plinth::vst3
