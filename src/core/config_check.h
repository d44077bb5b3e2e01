// Checks korvane.ini once, as it is loaded: every key the gateway reads is
// looked at, and each value it cannot take as written is reported with the
// value the gateway goes on with instead.
#pragma once
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace korvane {

struct ConfigProblem {
  int line = 0;
  std::string section, key, found, used, why;
};

std::vector<ConfigProblem> CheckConfig(const IniFile& ini);

// "<file> line <n>: [<section>] <key>=<found>: <why>; using <used>"
std::string DescribeProblem(const std::string& file, const ConfigProblem& p);

}  // namespace korvane
