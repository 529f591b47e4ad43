#pragma once
// The module's parameters as this tool offers them (the host-bypass parameter
// left out), and the values an instance gets from NAME=VALUE settings.

#include <string>
#include <string_view>
#include <vector>

#include "HostedPlugin.h"
#include "RenderOptions.h"

namespace qbrender {

class ParameterTable {
 public:
  explicit ParameterTable(const std::vector<qbhost::ParamInfo>& moduleParams);

  const std::vector<qbhost::ParamInfo>& Params() const { return mParams; }
  // Position in Params() of the parameter with this name (not case
  // sensitive), or -1.
  int IndexOf(std::string_view name) const;
  std::vector<double> Defaults() const;
  // "FreqLow, FreqHigh, ..." for messages.
  std::string Names() const;
  // One line per parameter: name, range, default (--list-params).
  std::string Listing() const;

 private:
  std::vector<qbhost::ParamInfo> mParams;
};

// "-60 .. 0 dB"
std::string DescribeRange(const qbhost::ParamInfo& param);

// Applies the assignments in order to values (one per table entry) and marks
// each one set in explicitlySet. Unknown names, malformed numbers and values
// outside a parameter's range are errors; the message names the valid range.
bool ApplyAssignments(const ParameterTable& table, const std::vector<ParamAssignment>& assignments,
                      std::vector<double>& values, std::vector<bool>& explicitlySet, std::string& error);

}  // namespace qbrender
