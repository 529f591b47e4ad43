#pragma once
// quellbridge-render from command line to exit status: inputs (files or the
// demo), the module, the two paired instances, the render, the outputs and
// the summary.

#include <string>
#include <vector>

namespace qbrender {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// args: the arguments after the program name.
int RunRenderTool(const std::vector<std::string>& args);

}  // namespace qbrender
