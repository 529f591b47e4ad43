#include "PeerCommands.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace qbpeer {
namespace {

[[noreturn]] void Fail(const std::string& message) { throw CommandError{message}; }

std::string FormatDouble(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

Args Tokenize(const std::string& line) {
  std::istringstream in(line);
  return Args(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

// ---- Standard commands ----------------------------------------------------------

std::string Load(PeerState& s, const Args& a) {
  const std::string& format = StringArg(a, 1, "format");
  qbhost::Format f;
  if (format == "clap")
    f = qbhost::Format::Clap;
  else if (format == "vst3")
    f = qbhost::Format::Vst3;
  else
    Fail("format must be clap or vst3");
  std::string error;
  std::unique_ptr<qbhost::HostedModule> module = qbhost::LoadModule(StringArg(a, 2, "path"), f, error);
  if (!module) Fail("load failed: " + error);
  s.modules.push_back(std::move(module));
  return std::to_string(s.modules.size() - 1);
}

std::string Create(PeerState& s, const Args& a) {
  if (s.modules.empty()) Fail("no module loaded");
  const int module = a.size() > 1 ? IntArg(a, 1, "module") : static_cast<int>(s.modules.size()) - 1;
  const int plugin = a.size() > 2 ? IntArg(a, 2, "plug-in index") : 0;
  if (module < 0 || module >= static_cast<int>(s.modules.size())) Fail("no module " + std::to_string(module));
  auto instance = std::make_unique<PeerInstance>();
  instance->plugin = s.modules[module]->CreateInstance(plugin);
  if (!instance->plugin) Fail("create failed");
  s.instances.push_back(std::move(instance));
  return std::to_string(s.instances.size() - 1);
}

std::string Activate(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  const double rate = DoubleArg(a, 2, "sample rate");
  const int block = IntArg(a, 3, "block size");
  if (!(rate > 0.0) || block <= 0) Fail("sample rate and block size must be positive");
  const bool side = a.size() > 4 && a[4] == "sidechain";
  if (p.active) p.plugin->Deactivate();
  p.active = false;
  if (!p.plugin->Activate(rate, block, side)) Fail("activate refused");
  p.active = true;
  p.sampleRate = rate;
  p.blockSize = block;
  p.sideChain = side;
  p.totalStats.Reset();
  return "";
}

std::string Deactivate(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  p.plugin->Deactivate();
  p.active = false;
  return "";
}

std::string Param(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  p.plugin->SetParam(static_cast<uint32_t>(IntArg(a, 2, "parameter id")), DoubleArg(a, 3, "value"));
  return "";
}

std::string GetParam(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  return FormatDouble(p.plugin->GetParam(static_cast<uint32_t>(IntArg(a, 2, "parameter id"))));
}

std::string ParamText(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  return p.plugin->ValueToText(static_cast<uint32_t>(IntArg(a, 2, "parameter id")), DoubleArg(a, 3, "value"));
}

std::string Process(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  if (!p.active) Fail("not active");
  const int blocks = IntArg(a, 2, "block count");
  if (blocks < 0) Fail("block count must not be negative");
  if (a.size() > 3 && !p.mainSignal.Configure(a[3])) Fail("unknown signal " + a[3]);
  if (a.size() > 4 && !p.sideSignal.Configure(a[4])) Fail("unknown signal " + a[4]);
  const size_t n = static_cast<size_t>(p.blockSize);
  std::vector<double> in(4 * n), out(2 * n);
  const double* ins[4] = {in.data(), in.data() + n, in.data() + 2 * n, in.data() + 3 * n};
  double* outs[2] = {out.data(), out.data() + n};
  p.lastStats.Reset();
  for (int b = 0; b < blocks; ++b) {
    p.mainSignal.Fill(in.data(), p.blockSize, p.sampleRate);
    std::copy(in.begin(), in.begin() + static_cast<long>(n), in.begin() + static_cast<long>(n));
    p.sideSignal.Fill(in.data() + 2 * n, p.blockSize, p.sampleRate);
    std::copy(in.begin() + static_cast<long>(2 * n), in.begin() + static_cast<long>(3 * n),
              in.begin() + static_cast<long>(3 * n));
    if (!p.plugin->Process(ins, p.sideChain ? 4 : 2, outs, 2, p.blockSize)) Fail("process failed");
    p.lastStats.Add(outs, 2, p.blockSize);
    p.totalStats.Add(outs, 2, p.blockSize);
  }
  p.plugin->Idle();
  return p.lastStats.Describe();
}

std::string Stats(PeerState& s, const Args& a) { return InstanceArg(s, a, 1).lastStats.Describe(); }

std::string Save(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  std::vector<uint8_t> bytes;
  if (!p.plugin->SaveState(bytes)) Fail("save refused");
  std::ofstream file(StringArg(a, 2, "file"), std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) Fail("cannot write " + a[2]);
  return std::to_string(bytes.size());
}

std::string Restore(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  std::ifstream file(StringArg(a, 2, "file"), std::ios::binary);
  if (!file) Fail("cannot read " + a[2]);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!p.plugin->LoadState(bytes)) Fail("restore refused");
  return std::to_string(bytes.size());
}

std::string Latency(PeerState& s, const Args& a) { return std::to_string(InstanceArg(s, a, 1).plugin->Latency()); }

std::string Idle(PeerState& s, const Args& a) {
  InstanceArg(s, a, 1).plugin->Idle();
  return "";
}

std::string Destroy(PeerState& s, const Args& a) {
  const int i = IntArg(a, 1, "instance");
  InstanceArg(s, a, 1);  // validates
  s.instances[static_cast<size_t>(i)].reset();
  return "";
}

std::string Sleep(PeerState&, const Args& a) {
  const int ms = IntArg(a, 1, "milliseconds");
  if (ms < 0 || ms > 600000) Fail("sleep between 0 and 600000 ms");
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return "";
}

std::string Pid(PeerState&, const Args&) { return std::to_string(static_cast<long>(getpid())); }

std::string Quit(PeerState& s, const Args&) {
  s.quit = true;
  return "bye";
}

}  // namespace

PeerInstance& InstanceArg(PeerState& state, const Args& args, size_t pos) {
  const int i = IntArg(args, pos, "instance");
  if (i < 0 || i >= static_cast<int>(state.instances.size()) || !state.instances[static_cast<size_t>(i)])
    Fail("no instance " + std::to_string(i));
  return *state.instances[static_cast<size_t>(i)];
}

const std::string& StringArg(const Args& args, size_t pos, const char* what) {
  if (pos >= args.size()) Fail(std::string("missing ") + what);
  return args[pos];
}

int IntArg(const Args& args, size_t pos, const char* what) {
  const std::string& text = StringArg(args, pos, what);
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (!end || *end != '\0' || v < -2147483647L || v > 2147483647L) Fail(std::string("bad ") + what + ": " + text);
  return static_cast<int>(v);
}

double DoubleArg(const Args& args, size_t pos, const char* what) {
  const std::string& text = StringArg(args, pos, what);
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (!end || *end != '\0' || !std::isfinite(v)) Fail(std::string("bad ") + what + ": " + text);
  return v;
}

CommandTable::CommandTable() {
  Add("load", "load <clap|vst3> <path> -> module index", Load);
  Add("create", "create [module] [plug-in index] -> instance index", Create);
  Add("activate", "activate <i> <sample rate> <block size> [sidechain]", Activate);
  Add("deactivate", "deactivate <i>", Deactivate);
  Add("param", "param <i> <id> <plain value>", Param);
  Add("getparam", "getparam <i> <id> -> plain value", GetParam);
  Add("paramtext", "paramtext <i> <id> <plain value> -> display text", ParamText);
  Add("process", "process <i> <blocks> [signal] [sidechain signal] -> stats", Process);
  Add("stats", "stats <i> -> stats of the last process command", Stats);
  Add("save", "save <i> <file> -> bytes", Save);
  Add("restore", "restore <i> <file> -> bytes", Restore);
  Add("latency", "latency <i> -> samples", Latency);
  Add("idle", "idle <i>", Idle);
  Add("destroy", "destroy <i>", Destroy);
  Add("sleep", "sleep <ms>", Sleep);
  Add("pid", "pid -> process id", Pid);
  Add("quit", "quit", Quit);
}

void CommandTable::Add(const std::string& name, std::string usage, Command command) {
  mCommands[name] = Entry{std::move(usage), std::move(command)};
}

std::string CommandTable::Help() const {
  std::string s;
  for (const auto& [name, entry] : mCommands) s += (s.empty() ? "" : "; ") + entry.usage;
  return s;
}

std::string CommandTable::Run(PeerState& state, const std::string& line) const {
  const Args args = Tokenize(line);
  if (args.empty()) return "error empty command";
  if (args[0] == "help") return "ok " + Help();
  const auto it = mCommands.find(args[0]);
  if (it == mCommands.end()) return "error unknown command " + args[0];
  try {
    const std::string text = it->second.command(state, args);
    return text.empty() ? "ok" : "ok " + text;
  } catch (const CommandError& e) {
    return "error " + e.message;
  } catch (const std::exception& e) {
    return std::string("error ") + e.what();
  } catch (...) {
    return "error unexpected failure";
  }
}

}  // namespace qbpeer
