// The audio-ports extension, from the plug-in's channel I/O string.
#include <cstdio>

#include "plinth/clap/ClapPlugin.h"
#include "plinth/clap/Extensions.h"

namespace plinth::clap {

struct AudioPortsCallbacks {
  static uint32_t Count(const clap_plugin_t* p, bool isInput) noexcept {
    ClapPlugin* w = ClapPlugin::FromClap(p);
    return w ? w->PortCount(isInput) : 0u;
  }
  static bool Get(const clap_plugin_t* p, uint32_t index, bool isInput, clap_audio_port_info_t* info) noexcept {
    try {
      ClapPlugin* w = ClapPlugin::FromClap(p);
      return w && w->PortInfo(index, isInput, info);
    } catch (...) {
      return false;
    }
  }
};

const clap_plugin_audio_ports_t kAudioPortsExtension = {AudioPortsCallbacks::Count, AudioPortsCallbacks::Get};

uint32_t ClapPlugin::PortCount(bool isInput) const {
  return static_cast<uint32_t>(isInput ? mPorts.inputs.size() : mPorts.outputs.size());
}

bool ClapPlugin::PortInfo(uint32_t index, bool isInput, clap_audio_port_info_t* info) const {
  const std::vector<int>& ports = isInput ? mPorts.inputs : mPorts.outputs;
  if (!info || index >= ports.size()) return false;
  *info = clap_audio_port_info_t{};
  info->id = index;
  std::snprintf(info->name, sizeof info->name, "%s", PortName(isInput, static_cast<int>(index)).c_str());
  info->flags = CLAP_AUDIO_PORT_SUPPORTS_64BITS | CLAP_AUDIO_PORT_PREFERS_64BITS;
  if (index == 0) info->flags |= CLAP_AUDIO_PORT_IS_MAIN;
  info->channel_count = static_cast<uint32_t>(ports[index]);
  info->port_type = ports[index] == 2 ? CLAP_PORT_STEREO : ports[index] == 1 ? CLAP_PORT_MONO : nullptr;
  // Inputs are copied before processing, so the main pair may share buffers.
  const bool pairExists = !mPorts.inputs.empty() && !mPorts.outputs.empty() && mPorts.inputs[0] == mPorts.outputs[0];
  info->in_place_pair = index == 0 && pairExists ? 0 : CLAP_INVALID_ID;
  return true;
}

}  // namespace plinth::clap
