#pragma once
// Test hooks the probe CLAP module exports besides clap_entry and
// qb_probe_stats. Each acts on one instance as the plug-in itself would
// (its editor or its own logic), from whatever thread the test calls it on.

#include <clap/plugin.h>

inline constexpr const char* kProbeClapId = "org.quellbridge.tests.probe";

extern "C" {
// Sets a parameter as the editor does and reports it to the host (wrapped in
// a gesture when withGesture is non-zero).
typedef void (*QbProbeEditParamFn)(const clap_plugin_t* plugin, int paramIdx, double plain, int withGesture);
// Begins (begin != 0) or ends an edit gesture.
typedef void (*QbProbeGestureFn)(const clap_plugin_t* plugin, int paramIdx, int begin);
// Changes the reported latency, as a plug-in whose processing changed would.
typedef void (*QbProbeSetLatencyFn)(const clap_plugin_t* plugin, int samples);
// Asks for an editor resize as the editor would; returns the host's answer.
typedef int (*QbProbeRequestResizeFn)(const clap_plugin_t* plugin, int width, int height);

__attribute__((visibility("default"))) void qb_probe_edit_param(const clap_plugin_t*, int, double, int);
__attribute__((visibility("default"))) void qb_probe_gesture(const clap_plugin_t*, int, int);
__attribute__((visibility("default"))) void qb_probe_set_latency(const clap_plugin_t*, int);
__attribute__((visibility("default"))) int qb_probe_request_resize(const clap_plugin_t*, int, int);
}
