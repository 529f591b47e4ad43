#pragma once
// A CLAP plug-in descriptor that owns its strings and its null-terminated
// feature list. Module entries build one in clap_init and free it in
// clap_deinit.

#include <clap/plugin.h>

#include <string>
#include <vector>

namespace plinth::clap {

struct DescriptorFields {
  clap_version_t clapVersion{1, 0, 0};
  std::string id;
  std::string name;
  std::string vendor;
  std::string url;
  std::string manualUrl;
  std::string supportUrl;
  std::string version;
  std::string description;
  std::vector<std::string> features;
};

class OwnedDescriptor {
 public:
  explicit OwnedDescriptor(DescriptorFields fields);
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

  const clap_plugin_descriptor_t* Get() const { return &mDescriptor; }
  const std::string& Id() const { return mFields.id; }

 private:
  DescriptorFields mFields;
  std::vector<const char*> mFeatures;  // pointers into mFields.features, then null
  clap_plugin_descriptor_t mDescriptor{};
};

}  // namespace plinth::clap
