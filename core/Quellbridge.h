#pragma once
// The Quellbridge plug-in: one object per insert, wrapped by the VST3 or the
// CLAP module.

#include <atomic>

#include "core/Parameters.h"
#include "plinth/Plugin.h"

namespace qb {

class Quellbridge final : public plinth::Plugin {
 public:
  explicit Quellbridge(const plinth::InstanceInfo& info);
  ~Quellbridge() override;

  /// Any thread: stores the new value where the audio path reads it.
  void OnParamChange(int paramIdx) override;

  const char* InstanceName() const { return instanceName; }

 private:
  char instanceName[64] = "Quellbridge";
};

}  // namespace qb
