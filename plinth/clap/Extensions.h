#pragma once
// The extension tables the wrapper hands out through get_extension; each is
// defined next to the code it calls.

#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>

namespace plinth::clap {

extern const clap_plugin_params_t kParamsExtension;
extern const clap_plugin_audio_ports_t kAudioPortsExtension;
extern const clap_plugin_latency_t kLatencyExtension;
extern const clap_plugin_state_t kStateExtension;
extern const clap_plugin_gui_t kGuiExtension;

}  // namespace plinth::clap
