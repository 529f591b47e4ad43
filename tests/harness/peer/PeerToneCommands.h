#pragma once
// qb-peer commands that feed sums of sines and measure the amplitudes of
// chosen frequencies in the output (ducking measurements across processes).

#include "PeerCommands.h"

namespace qbpeer {

// Adds:
//   tones <i> <blocks> <tones|silence> [<window> <hz>...]
//     Processes <blocks> blocks of the tones (the same in both input
//     channels; phase continues across calls). Replies
//     "frames=<n> nan=0|1 maxabs=<v>", then for every <hz> " <hz>=<a0>,<a1>":
//     the amplitude at hz in output channels 0 and 1 over the last <window>
//     samples (at most the samples processed by this call).
void AddToneCommands(CommandTable& table);

}  // namespace qbpeer
