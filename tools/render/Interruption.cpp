#include "Interruption.h"

#include <csignal>
#include <initializer_list>

namespace qbrender {
namespace {
volatile std::sig_atomic_t sInterrupted = 0;  // written by the signal handler only
void OnInterrupt(int) { sInterrupted = 1; }
}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

bool Interrupted() { return sInterrupted != 0; }

}  // namespace qbrender
