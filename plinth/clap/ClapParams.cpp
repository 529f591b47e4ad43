// The params extension: ids are parameter indices, values are plain.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "plinth/clap/ClapPlugin.h"
#include "plinth/clap/Extensions.h"

namespace plinth::clap {
namespace {

// Copies text into a fixed host buffer, always terminated.
void CopyText(char* dst, size_t size, const char* src) {
  if (!dst || size == 0) return;
  std::snprintf(dst, size, "%s", src ? src : "");
}

// "200 Hz", "4.0:1", "3": the value text, then the label (a space before
// labels that start with a letter or digit).
std::string TextWithLabel(const IParam& param, double plain) {
  std::string text = param.DisplayText(plain);
  const char* label = param.Label();
  if (label && *label) {
    if (std::isalnum(static_cast<unsigned char>(label[0]))) text += ' ';
    text += label;
  }
  return text;
}

}  // namespace

struct ParamsCallbacks {
  static ClapPlugin* W(const clap_plugin_t* p) { return ClapPlugin::FromClap(p); }

  static uint32_t Count(const clap_plugin_t* p) noexcept {
    ClapPlugin* w = W(p);
    return w ? static_cast<uint32_t>(w->mPlugin->NParams()) : 0u;
  }
  static bool GetInfo(const clap_plugin_t* p, uint32_t index, clap_param_info_t* info) noexcept {
    ClapPlugin* w = W(p);
    return w && w->ParamInfo(index, info);
  }
  static bool GetValue(const clap_plugin_t* p, clap_id id, double* value) noexcept {
    ClapPlugin* w = W(p);
    return w && w->ParamValue(id, value);
  }
  static bool ValueToText(const clap_plugin_t* p, clap_id id, double value, char* display, uint32_t size) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && w->ParamValueToText(id, value, display, size);
    } catch (...) {
      return false;
    }
  }
  static bool TextToValue(const clap_plugin_t* p, clap_id id, const char* display, double* value) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && w->ParamTextToValue(id, display, value);
    } catch (...) {
      return false;
    }
  }
  static void Flush(const clap_plugin_t* p, const clap_input_events_t* in, const clap_output_events_t* out) noexcept {
    try {
      if (ClapPlugin* w = W(p)) w->Flush(in, out);
    } catch (...) {
    }
  }
};

const clap_plugin_params_t kParamsExtension = {ParamsCallbacks::Count,       ParamsCallbacks::GetInfo,
                                               ParamsCallbacks::GetValue,    ParamsCallbacks::ValueToText,
                                               ParamsCallbacks::TextToValue, ParamsCallbacks::Flush};

bool ClapPlugin::ParamInfo(uint32_t index, clap_param_info_t* info) const {
  const IParam* param = mPlugin->GetParam(index < 0x7fffffffu ? static_cast<int>(index) : -1);
  if (!param || !info) return false;
  *info = clap_param_info_t{};
  info->id = index;
  info->flags = CLAP_PARAM_IS_AUTOMATABLE;
  if (param->GetType() == IParam::Type::Int) info->flags |= CLAP_PARAM_IS_STEPPED;
  info->cookie = nullptr;
  CopyText(info->name, sizeof info->name, param->Name());
  CopyText(info->module, sizeof info->module, "");
  info->min_value = param->Min();
  info->max_value = param->Max();
  info->default_value = param->Default();
  return true;
}

bool ClapPlugin::ParamValue(clap_id id, double* value) const {
  const IParam* param = mPlugin->GetParam(id < 0x7fffffffu ? static_cast<int>(id) : -1);
  if (!param || !value) return false;
  *value = param->Value();
  return true;
}

bool ClapPlugin::ParamValueToText(clap_id id, double value, char* display, uint32_t size) const {
  const IParam* param = mPlugin->GetParam(id < 0x7fffffffu ? static_cast<int>(id) : -1);
  if (!param || !display || size == 0) return false;
  CopyText(display, size, TextWithLabel(*param, value).c_str());
  return true;
}

bool ClapPlugin::ParamTextToValue(clap_id id, const char* display, double* value) const {
  const IParam* param = mPlugin->GetParam(id < 0x7fffffffu ? static_cast<int>(id) : -1);
  if (!param || !display || !value) return false;
  double plain = 0.0;
  if (!param->Parse(display, plain)) return false;
  *value = plain;
  return true;
}

void ClapPlugin::Flush(const clap_input_events_t* in, const clap_output_events_t* out) {
  CallbackScope scope(*this);
  ApplyInputEvents(in);
  EmitOutputEvents(out);
}

void ClapPlugin::ApplyInputEvents(const clap_input_events_t* in) {
  if (!in || !in->size || !in->get) return;
  const uint32_t n = in->size(in);
  const uint32_t nParams = static_cast<uint32_t>(mPlugin->NParams());
  for (uint32_t i = 0; i < n; ++i) {
    const clap_event_header_t* header = in->get(in, i);
    if (!header || header->space_id != CLAP_CORE_EVENT_SPACE_ID || header->type != CLAP_EVENT_PARAM_VALUE ||
        header->size < sizeof(clap_event_param_value_t))
      continue;
    const auto* event = reinterpret_cast<const clap_event_param_value_t*>(header);
    if (event->param_id >= nParams) continue;
    mPlugin->SetParameterFromHost(static_cast<int>(event->param_id), event->value);
  }
}

void ClapPlugin::EmitOutputEvents(const clap_output_events_t* out) {
  if (!out || !out->try_push) return;  // kept until a call that can take them
  mOutgoing.Drain([&](OutgoingParamChanges::Report report, int idx) {
    if (report == OutgoingParamChanges::Report::Value) {
      clap_event_param_value_t ev{};
      ev.header.size = sizeof ev;
      ev.header.time = 0;
      ev.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
      ev.header.type = CLAP_EVENT_PARAM_VALUE;
      ev.header.flags = 0;
      ev.param_id = static_cast<clap_id>(idx);
      ev.cookie = nullptr;
      ev.note_id = -1;
      ev.port_index = -1;
      ev.channel = -1;
      ev.key = -1;
      ev.value = mPlugin->GetParam(idx)->Value();
      return out->try_push(out, &ev.header);
    }
    clap_event_param_gesture_t ev{};
    ev.header.size = sizeof ev;
    ev.header.time = 0;
    ev.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    ev.header.type = report == OutgoingParamChanges::Report::GestureBegin
                         ? static_cast<uint16_t>(CLAP_EVENT_PARAM_GESTURE_BEGIN)
                         : static_cast<uint16_t>(CLAP_EVENT_PARAM_GESTURE_END);
    ev.header.flags = 0;
    ev.param_id = static_cast<clap_id>(idx);
    return out->try_push(out, &ev.header);
  });
}

}  // namespace plinth::clap
