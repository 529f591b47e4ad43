#include "HostParameterChanges.h"

namespace qbhost {

using namespace Steinberg;
using namespace Steinberg::Vst;

tresult PLUGIN_API ParamValueQueue::getPoint(int32 index, int32& sampleOffset, ParamValue& value) {
  if (index < 0 || index >= mCount) return kInvalidArgument;
  sampleOffset = mPoints[static_cast<size_t>(index)].offset;
  value = mPoints[static_cast<size_t>(index)].value;
  return kResultOk;
}

tresult PLUGIN_API ParamValueQueue::addPoint(int32 sampleOffset, ParamValue value, int32& index) {
  if (mCount > 0 && mPoints[static_cast<size_t>(mCount - 1)].offset == sampleOffset) {
    mPoints[static_cast<size_t>(mCount - 1)].value = value;
    index = mCount - 1;
    return kResultOk;
  }
  if (mCount >= kMaxPoints) return kResultFalse;
  mPoints[static_cast<size_t>(mCount)] = Point{sampleOffset, value};
  index = mCount++;
  return kResultOk;
}

tresult PLUGIN_API ParamValueQueue::queryInterface(const TUID iid, void** obj) {
  if (!obj) return kInvalidArgument;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IParamValueQueue::iid)) {
    *obj = static_cast<IParamValueQueue*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

bool ParameterChanges::Add(ParamID id, int32 sampleOffset, ParamValue value) {
  int32 index = 0;
  IParamValueQueue* queue = addParameterData(id, index);
  return queue && queue->addPoint(sampleOffset, value, index) == kResultOk;
}

void ParameterChanges::Forget(ParamID id) {
  for (int32 i = 0; i < mCount; ++i)
    if (mQueues[static_cast<size_t>(i)].getParameterId() == id) mQueues[static_cast<size_t>(i)].Reset(id);
}

IParamValueQueue* PLUGIN_API ParameterChanges::getParameterData(int32 index) {
  return index >= 0 && index < mCount ? &mQueues[static_cast<size_t>(index)] : nullptr;
}

IParamValueQueue* PLUGIN_API ParameterChanges::addParameterData(const ParamID& id, int32& index) {
  for (int32 i = 0; i < mCount; ++i) {
    if (mQueues[static_cast<size_t>(i)].getParameterId() == id) {
      index = i;
      return &mQueues[static_cast<size_t>(i)];
    }
  }
  if (mCount >= kMaxQueues) return nullptr;
  mQueues[static_cast<size_t>(mCount)].Reset(id);
  index = mCount++;
  return &mQueues[static_cast<size_t>(index)];
}

tresult PLUGIN_API ParameterChanges::queryInterface(const TUID iid, void** obj) {
  if (!obj) return kInvalidArgument;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IParameterChanges::iid)) {
    *obj = static_cast<IParameterChanges*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

}  // namespace qbhost
