#include "plinth/clap/OwnedDescriptor.h"

#include <utility>

namespace plinth::clap {

OwnedDescriptor::OwnedDescriptor(DescriptorFields fields) : mFields(std::move(fields)) {
  for (const std::string& f : mFields.features) mFeatures.push_back(f.c_str());
  mFeatures.push_back(nullptr);
  mDescriptor.clap_version = mFields.clapVersion;
  mDescriptor.id = mFields.id.c_str();
  mDescriptor.name = mFields.name.c_str();
  mDescriptor.vendor = mFields.vendor.c_str();
  mDescriptor.url = mFields.url.c_str();
  mDescriptor.manual_url = mFields.manualUrl.c_str();
  mDescriptor.support_url = mFields.supportUrl.c_str();
  mDescriptor.version = mFields.version.c_str();
  mDescriptor.description = mFields.description.c_str();
  mDescriptor.features = mFeatures.data();
}

}  // namespace plinth::clap
