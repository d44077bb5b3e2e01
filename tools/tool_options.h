// Command-line options of the served-program tools: "--name value" pairs,
// --help and --version, and after "--" a command line of its own. A last
// word "DDE" is the one the gateway adds when it starts a program, and is
// dropped (also after "--": a wrapped command never sees it).
#pragma once
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvane::tools {

struct ToolOptions {
  std::map<std::string, std::string> values;  // "--answers DIR" -> {"answers", "DIR"}
  std::vector<std::string> command;           // everything after "--"
  bool help = false;
  bool version = false;

  std::string Get(const std::string& name, const std::string& fallback) const;
};

// Throws std::invalid_argument for an unknown option, a missing value or a
// stray word.
ToolOptions ParseToolOptions(int argc, char** argv, const std::set<std::string>& known);

// What --version prints after the tool's name.
std::string ToolVersion();

// --help and --version print to stdout; an error names the fault on stderr
// with the usage. Returns the exit code (0 or 2), or -1 to go on serving.
int HandleToolOptions(const char* tool, const char* usage,
                      const std::function<ToolOptions()>& parse, ToolOptions& options);

}  // namespace korvane::tools
