#pragma once
// The parameter changes a host passes with a block: fixed-capacity queues,
// so filling and passing them never allocates.

#include <array>
#include <atomic>

#include "pluginterfaces/vst/ivstparameterchanges.h"

namespace qbhost {

class ParamValueQueue final : public Steinberg::Vst::IParamValueQueue {
 public:
  static constexpr int kMaxPoints = 16;

  void Reset(Steinberg::Vst::ParamID id) {
    mId = id;
    mCount = 0;
  }

  Steinberg::Vst::ParamID PLUGIN_API getParameterId() override { return mId; }
  Steinberg::int32 PLUGIN_API getPointCount() override { return mCount; }
  Steinberg::tresult PLUGIN_API getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                         Steinberg::Vst::ParamValue& value) override;
  // Points must come in sample order; a point at the last point's offset replaces it.
  Steinberg::tresult PLUGIN_API addPoint(Steinberg::int32 sampleOffset, Steinberg::Vst::ParamValue value,
                                         Steinberg::int32& index) override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

 private:
  struct Point {
    Steinberg::int32 offset = 0;
    Steinberg::Vst::ParamValue value = 0.0;
  };
  Steinberg::Vst::ParamID mId = 0;
  Steinberg::int32 mCount = 0;
  std::array<Point, kMaxPoints> mPoints{};
};

class ParameterChanges final : public Steinberg::Vst::IParameterChanges {
 public:
  static constexpr int kMaxQueues = 64;

  void Clear() { mCount = 0; }
  bool Empty() const { return mCount == 0; }
  // Adds a point for id (its queue is created on first use); false when full.
  bool Add(Steinberg::Vst::ParamID id, Steinberg::int32 sampleOffset, Steinberg::Vst::ParamValue value);
  // Drops the points queued for id so far.
  void Forget(Steinberg::Vst::ParamID id);

  Steinberg::int32 PLUGIN_API getParameterCount() override { return mCount; }
  Steinberg::Vst::IParamValueQueue* PLUGIN_API getParameterData(Steinberg::int32 index) override;
  Steinberg::Vst::IParamValueQueue* PLUGIN_API addParameterData(const Steinberg::Vst::ParamID& id,
                                                                Steinberg::int32& index) override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

 private:
  Steinberg::int32 mCount = 0;
  std::array<ParamValueQueue, kMaxQueues> mQueues{};
};

}  // namespace qbhost
