#include "tools/tool_options.h"

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace korvane::tools {

std::string ToolOptions::Get(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

ToolOptions ParseToolOptions(int argc, char** argv, const std::set<std::string>& known) {
  ToolOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") {
      options.command.assign(argv + i + 1, argv + argc);
      break;
    }
    if (word == "DDE") continue;  // added by the gateway when it starts us
    if (word.rfind("--", 0) != 0 || !known.count(word.substr(2)))
      throw std::invalid_argument("unknown option " + word);
    if (i + 1 >= argc) throw std::invalid_argument(word + " needs a value");
    options.values[word.substr(2)] = argv[++i];
  }
  return options;
}

std::string DefaultAnswersDir() {
  std::error_code ec;
  auto temp = std::filesystem::temp_directory_path(ec);
  return (ec ? std::string("/tmp") : temp.string()) + "/korvane-" + std::to_string(::getuid()) +
         "/answers";
}

}  // namespace korvane::tools
