#pragma once
// Keeps the audio thread out of the processing buffers and the plug-in's
// reset while the main thread reconfigures them, without the audio thread
// ever waiting: it tries once and, when the main thread holds the gate,
// processes that block without the plug-in (the wrapper outputs the dry
// signal). The main thread waits for a block in progress to finish.
//
// Hosts never process while reconfiguring; the gate makes hosts that do
// so harmless.

#include <atomic>
#include <thread>

namespace plinth::vst3 {

class AudioGate {
 public:
  // Audio thread: true when the block may use the buffers; then call LeaveAudio.
  bool TryEnterAudio() {
    int expected = kIdle;
    return mState.compare_exchange_strong(expected, kAudio, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void LeaveAudio() { mState.store(kIdle, std::memory_order_release); }

  // Main thread: holds the gate for the lifetime of the object.
  class Reconfigure {
   public:
    explicit Reconfigure(AudioGate& gate) : mGate(gate) {
      int expected = kIdle;
      while (!mGate.mState.compare_exchange_weak(expected, kMain, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
        expected = kIdle;
        std::this_thread::yield();
      }
    }
    ~Reconfigure() { mGate.mState.store(kIdle, std::memory_order_release); }
    Reconfigure(const Reconfigure&) = delete;
    Reconfigure& operator=(const Reconfigure&) = delete;

   private:
    AudioGate& mGate;
  };

 private:
  enum { kIdle = 0, kAudio = 1, kMain = 2 };
  std::atomic<int> mState{kIdle};
};

}  // namespace plinth::vst3
