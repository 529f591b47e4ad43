#pragma once
// The command set of qb-peer: one line in, one line out ("ok ..." or
// "error ..."). Commands live in a table so later tests can add their own
// (spectral measurements, registry probes) without touching the loop.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HostedPlugin.h"
#include "PeerSignals.h"

namespace qbpeer {

struct PeerInstance {
  std::unique_ptr<qbhost::HostedInstance> plugin;
  double sampleRate = 48000.0;
  int blockSize = 512;
  bool active = false;
  bool sideChain = false;
  SignalGenerator mainSignal;
  SignalGenerator sideSignal;
  OutputStats lastStats;   // of the most recent process command
  OutputStats totalStats;  // since activation
};

struct PeerState {
  std::vector<std::unique_ptr<qbhost::HostedModule>> modules;
  std::vector<std::unique_ptr<PeerInstance>> instances;  // destroyed slots stay null
  bool quit = false;
};

using Args = std::vector<std::string>;
// Returns the reply text after "ok" (may be empty); throws CommandError for "error ...".
using Command = std::function<std::string(PeerState&, const Args&)>;

struct CommandError {
  std::string message;
};

class CommandTable {
 public:
  CommandTable();  // the standard commands
  void Add(const std::string& name, std::string usage, Command command);
  // Runs one input line; returns the complete reply line (without newline).
  std::string Run(PeerState& state, const std::string& line) const;
  std::string Help() const;

 private:
  struct Entry {
    std::string usage;
    Command command;
  };
  std::map<std::string, Entry> mCommands;
};

// Helpers for commands.
PeerInstance& InstanceArg(PeerState& state, const Args& args, size_t pos);
int IntArg(const Args& args, size_t pos, const char* what);
double DoubleArg(const Args& args, size_t pos, const char* what);
const std::string& StringArg(const Args& args, size_t pos, const char* what);

}  // namespace qbpeer
