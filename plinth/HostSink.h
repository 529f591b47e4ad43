#pragma once
// What a plug-in may ask of its host. Each format wrapper implements it and
// attaches itself to the plug-in it created.

namespace plinth {

class HostSink {
 public:
  virtual ~HostSink() = default;

  // The plug-in has set parameter paramIdx itself (editor, shared state).
  // Any thread, never blocks: wrappers queue it and tell the host on the
  // thread the format requires.
  virtual void ParamChangedByPlugin(int paramIdx) = 0;
  // Edit gestures around ParamChangedByPlugin. Any thread, never blocks.
  virtual void BeginParamGesture(int paramIdx) = 0;
  virtual void EndParamGesture(int paramIdx) = 0;

  // The reported latency changed. Called on the main thread (typically from
  // OnReset while the host is not processing).
  virtual void LatencyChanged(int samples) = 0;

  // The editor asks for a new size in pixels. Editor or main thread; returns
  // whether the host accepted the request.
  virtual bool RequestEditorResize(int width, int height) = 0;
};

}  // namespace plinth
