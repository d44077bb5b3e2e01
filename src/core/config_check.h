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

// [Variables] PassivePorts: "low-high" with 1 <= low <= high <= 65535.
// False for anything else (the system then picks the passive port).
bool PassivePortRange(const std::string& value, int& low, int& high);

// [Variables] PassiveAddress: a dotted IPv4 address ("203.0.113.7").
bool DottedAddress(const std::string& value);

// [Variables] MetricsPath: "/" and at least one more character, no blank,
// control character or "?" (a request path the router can match exactly).
bool MetricsPathValid(const std::string& value);

// An IPv4 or IPv6 address as text.
bool IpAddress(const std::string& value);

}  // namespace korvane
