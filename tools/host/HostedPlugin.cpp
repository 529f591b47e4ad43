#include "HostedPlugin.h"

namespace qbhost {

std::unique_ptr<HostedModule> LoadModule(const std::string& path, Format format, std::string& error) {
  return format == Format::Clap ? LoadClapModule(path, error) : LoadVst3Module(path, error);
}

}  // namespace qbhost
