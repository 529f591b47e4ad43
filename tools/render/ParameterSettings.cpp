#include "ParameterSettings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace qbrender {
namespace {

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

ParameterTable::ParameterTable(const std::vector<qbhost::ParamInfo>& moduleParams) {
  for (const qbhost::ParamInfo& p : moduleParams)
    if (!p.isBypass) mParams.push_back(p);
}

int ParameterTable::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < mParams.size(); ++i) {
    const std::string& n = mParams[i].name;
    if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return static_cast<int>(i);
  }
  return -1;
}

std::vector<double> ParameterTable::Defaults() const {
  std::vector<double> out;
  for (const qbhost::ParamInfo& p : mParams) out.push_back(p.defaultValue);
  return out;
}

std::string ParameterTable::Names() const {
  std::string out;
  for (const qbhost::ParamInfo& p : mParams) {
    if (!out.empty()) out += ", ";
    out += p.name;
  }
  return out;
}

std::string ParameterTable::Listing() const {
  std::string out;
  for (const qbhost::ParamInfo& p : mParams) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-12s %-22s default %s\n", p.name.c_str(), DescribeRange(p).c_str(),
                  Number(p.defaultValue).c_str());
    out += line;
  }
  return out;
}

std::string DescribeRange(const qbhost::ParamInfo& param) {
  std::string out = Number(param.minValue) + " .. " + Number(param.maxValue);
  if (!param.label.empty()) out += (param.label[0] == ':' ? "" : " ") + param.label;
  return out;
}

bool ApplyAssignments(const ParameterTable& table, const std::vector<ParamAssignment>& assignments,
                      std::vector<double>& values, std::vector<bool>& explicitlySet, std::string& error) {
  values.resize(table.Params().size());
  explicitlySet.resize(table.Params().size(), false);
  for (const ParamAssignment& a : assignments) {
    const int index = table.IndexOf(a.name);
    if (index < 0) {
      error = "unknown parameter '" + a.name + "'; the parameters are " + table.Names();
      return false;
    }
    const qbhost::ParamInfo& p = table.Params()[static_cast<size_t>(index)];
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(a.value.c_str(), &end);
    if (a.value.empty() || errno != 0 || end != a.value.c_str() + a.value.size() || !std::isfinite(v)) {
      error = "'" + a.value + "' is not a number: " + p.name + " takes " + DescribeRange(p);
      return false;
    }
    if (v < p.minValue || v > p.maxValue) {
      error = p.name + "=" + a.value + " is out of range: " + p.name + " takes " + DescribeRange(p);
      return false;
    }
    if (p.stepCount > 0) {
      const double step = (p.maxValue - p.minValue) / p.stepCount;
      const double k = (v - p.minValue) / step;
      if (std::fabs(k - std::round(k)) > 1e-6) {
        error = p.name + "=" + a.value + " is not one of its steps: " + p.name + " takes " + DescribeRange(p) +
                " in steps of " + Number(step);
        return false;
      }
    }
    values[static_cast<size_t>(index)] = v;
    explicitlySet[static_cast<size_t>(index)] = true;
  }
  return true;
}

}  // namespace qbrender
