// qb-peer: a small host process for multi-process tests. Reads one command
// per line on stdin and answers one line per command on stdout.
#include <cstdio>
#include <iostream>
#include <string>

#include "PeerCommands.h"
#include "PeerToneCommands.h"

int main() {
  std::ios::sync_with_stdio(false);
  qbpeer::CommandTable commands;
  qbpeer::AddToneCommands(commands);
  qbpeer::PeerState state;
  std::string line;
  while (!state.quit && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string reply = commands.Run(state, line);
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  // Instances go before their modules.
  state.instances.clear();
  state.modules.clear();
  return 0;
}
