// Command-line options of the served-program tools: "--name value" pairs,
// the word "DDE" the gateway adds when it starts a program (ignored), and
// after "--" a command line of its own.
#pragma once
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvane::tools {

struct ToolOptions {
  std::map<std::string, std::string> values;  // "--answers DIR" -> {"answers", "DIR"}
  std::vector<std::string> command;           // everything after "--"

  std::string Get(const std::string& name, const std::string& fallback) const;
};

// Throws std::invalid_argument for an unknown option, a missing value or a
// stray word.
ToolOptions ParseToolOptions(int argc, char** argv, const std::set<std::string>& known);

// <temp dir>/korvane-<uid>/answers: next to the default link folder, private
// to the user whose gateway reads the answers.
std::string DefaultAnswersDir();

}  // namespace korvane::tools
