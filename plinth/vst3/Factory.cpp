#include "plinth/vst3/Factory.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "plinth/vst3/Utf16.h"
#include "plinth/vst3/Vst3Plugin.h"

namespace plinth::vst3 {
namespace {

using namespace Steinberg;

// Copies a C string into a fixed char field, always zero-terminated.
template <size_t N>
void CopyField(char8 (&dst)[N], const char* src) {
  std::strncpy(dst, src ? src : "", N - 1);
  dst[N - 1] = 0;
}

class Factory final : public IPluginFactory3 {
 public:
  explicit Factory(const FactoryDescription& description) : mDescription(description) {}

  // ---- FUnknown ----
  tresult PLUGIN_API queryInterface(const TUID iid, void** obj) noexcept override {
    if (!obj) return kInvalidArgument;
    if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IPluginFactory::iid) ||
        FUnknownPrivate::iidEqual(iid, IPluginFactory2::iid) || FUnknownPrivate::iidEqual(iid, IPluginFactory3::iid)) {
      addRef();
      *obj = static_cast<IPluginFactory3*>(this);
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 PLUGIN_API addRef() noexcept override;
  uint32 PLUGIN_API release() noexcept override;
  // GetFactory's reference, taken while it already holds sFactoryMutex.
  void AddRefLocked() { ++mRefCount; }

  // ---- IPluginFactory ----
  tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) noexcept override {
    if (!info) return kInvalidArgument;
    *info = PFactoryInfo();
    CopyField(info->vendor, mDescription.vendor);
    CopyField(info->url, mDescription.url);
    CopyField(info->email, mDescription.email);
    info->flags = mDescription.flags;
    return kResultOk;
  }
  int32 PLUGIN_API countClasses() noexcept override { return 1; }
  tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) noexcept override {
    if (!info || index != 0) return kInvalidArgument;
    const ClassDescription& c = mDescription.pluginClass;
    *info = PClassInfo();
    std::memcpy(info->cid, c.classId.data(), sizeof(TUID));
    info->cardinality = c.cardinality;
    CopyField(info->category, c.category);
    CopyField(info->name, c.name);
    return kResultOk;
  }
  tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) noexcept override;

  // ---- IPluginFactory2 ----
  tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) noexcept override {
    if (!info || index != 0) return kInvalidArgument;
    const ClassDescription& c = mDescription.pluginClass;
    *info = PClassInfo2();
    std::memcpy(info->cid, c.classId.data(), sizeof(TUID));
    info->cardinality = c.cardinality;
    CopyField(info->category, c.category);
    CopyField(info->name, c.name);
    info->classFlags = c.classFlags;
    CopyField(info->subCategories, c.subCategories);
    CopyField(info->vendor, c.vendor);
    CopyField(info->version, c.version);
    CopyField(info->sdkVersion, c.sdkVersion);
    return kResultOk;
  }

  // ---- IPluginFactory3 ----
  tresult PLUGIN_API getClassInfoUnicode(int32 index, PClassInfoW* info) noexcept override {
    if (!info || index != 0) return kInvalidArgument;
    const ClassDescription& c = mDescription.pluginClass;
    *info = PClassInfoW();
    std::memcpy(info->cid, c.classId.data(), sizeof(TUID));
    info->cardinality = c.cardinality;
    CopyField(info->category, c.category);
    CopyToUtf16(c.name, info->name, PClassInfo::kNameSize);
    info->classFlags = c.classFlags;
    CopyField(info->subCategories, c.subCategories);
    CopyToUtf16(c.vendor, info->vendor, PClassInfoW::kVendorSize);
    CopyToUtf16(c.version, info->version, PClassInfoW::kVersionSize);
    CopyToUtf16(c.sdkVersion, info->sdkVersion, PClassInfoW::kVersionSize);
    return kResultOk;
  }
  // The plug-in asks nothing of the host context at factory level.
  tresult PLUGIN_API setHostContext(FUnknown* context) noexcept override {
    (void)context;
    return kResultOk;
  }

 private:
  const FactoryDescription mDescription;
  uint32 mRefCount = 1;  // guarded by sFactoryMutex
};

// The one factory of this module, shared by every GetPluginFactory caller.
std::mutex sFactoryMutex;
Factory* sFactory = nullptr;  // guarded by sFactoryMutex

uint32 PLUGIN_API Factory::addRef() noexcept {
  std::lock_guard<std::mutex> lock(sFactoryMutex);
  return ++mRefCount;
}

uint32 PLUGIN_API Factory::release() noexcept {
  {
    std::lock_guard<std::mutex> lock(sFactoryMutex);
    if (mRefCount > 1) return --mRefCount;
    mRefCount = 0;
    if (sFactory == this) sFactory = nullptr;
  }
  delete this;
  return 0;
}

tresult PLUGIN_API Factory::createInstance(FIDString cid, FIDString iid, void** obj) noexcept {
  if (!obj) return kInvalidArgument;
  *obj = nullptr;
  if (!cid || !iid) return kInvalidArgument;
  if (std::memcmp(cid, mDescription.pluginClass.classId.data(), sizeof(TUID)) != 0) return kNoInterface;
  if (!mDescription.createPlugin) return kInternalError;
  try {
    std::unique_ptr<Plugin> plugin(mDescription.createPlugin(InstanceInfo{}));
    if (!plugin) return kInternalError;
    auto* instance = new Vst3Plugin(std::move(plugin));  // one reference, dropped below
    const tresult result = instance->queryInterface(iid, obj);
    instance->release();
    return result;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kInternalError;
  }
}

}  // namespace

Steinberg::IPluginFactory* GetFactory(const FactoryDescription& description) noexcept {
  try {
    std::lock_guard<std::mutex> lock(sFactoryMutex);
    if (sFactory) {
      sFactory->AddRefLocked();
    } else {
      sFactory = new Factory(description);
    }
    return sFactory;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace plinth::vst3
