#pragma once
// Where the tool looks for the module when --module is not given: where Linux
// hosts find installed plug-ins, then the build tree the tool was built in.

#include <string>
#include <vector>

#include "HostedPlugin.h"

namespace qbrender {

std::string FormatName(qbhost::Format format);

// In search order: CLAP: the folders of CLAP_PATH, ~/.clap, /usr/lib/clap;
// VST3: ~/.vst3, /usr/lib/vst3, /usr/local/lib/vst3; then the build tree.
std::vector<std::string> ModuleCandidates(qbhost::Format format);

// The first candidate that exists; "" with a message naming every place
// looked at when there is none.
std::string LocateModule(qbhost::Format format, std::string& error);

}  // namespace qbrender
