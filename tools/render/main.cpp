// quellbridge-render: renders audio files (or a built-in demo) through two
// paired Quellbridge instances; see --help.
#include <string>
#include <vector>

#include "RenderTool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qbrender::RunRenderTool(args);
}
