// The state extension: the plug-in's own chunk, nothing around it.
#include <cstdint>

#include "plinth/clap/ClapPlugin.h"
#include "plinth/clap/Extensions.h"

namespace plinth::clap {

struct StateCallbacks {
  static bool Save(const clap_plugin_t* p, const clap_ostream_t* stream) noexcept {
    try {
      ClapPlugin* w = ClapPlugin::FromClap(p);
      return w && w->SaveState(stream);
    } catch (...) {
      return false;
    }
  }
  static bool Load(const clap_plugin_t* p, const clap_istream_t* stream) noexcept {
    try {
      ClapPlugin* w = ClapPlugin::FromClap(p);
      return w && w->LoadState(stream);
    } catch (...) {
      return false;
    }
  }
};

const clap_plugin_state_t kStateExtension = {StateCallbacks::Save, StateCallbacks::Load};

bool ClapPlugin::SaveState(const clap_ostream_t* stream) {
  if (!stream || !stream->write) return false;
  IByteChunk chunk;
  if (!mPlugin->SerializeState(chunk)) return false;
  const uint8_t* data = chunk.GetData();
  const uint64_t size = static_cast<uint64_t>(chunk.Size());
  // Streams may take the data in pieces.
  for (uint64_t done = 0; done < size;) {
    const int64_t n = stream->write(stream, data + done, size - done);
    if (n <= 0 || static_cast<uint64_t>(n) > size - done) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool ClapPlugin::LoadState(const clap_istream_t* stream) {
  if (!stream || !stream->read) return false;
  IByteChunk chunk;
  uint8_t buffer[4096];
  for (;;) {
    const int64_t n = stream->read(stream, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || n > static_cast<int64_t>(sizeof buffer)) return false;
    if (chunk.Size() + n > kMaxStateBytes) return false;
    chunk.PutBytes(buffer, static_cast<int>(n));
  }
  const int end = mPlugin->UnserializeState(chunk, 0);
  // Values may have changed even when the chunk turned out incomplete.
  const clap_host_params_t* params = mHostParams.load();
  if (params && params->rescan) params->rescan(mHost, CLAP_PARAM_RESCAN_VALUES);
  return end >= 0;
}

}  // namespace plinth::clap
