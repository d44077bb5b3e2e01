#include "tools/tool_options.h"

#include <unistd.h>

#include <iostream>
#include <stdexcept>

namespace korvane::tools {

std::string ToolOptions::Get(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

ToolOptions ParseToolOptions(int argc, char** argv, const std::set<std::string>& known) {
  ToolOptions options;
  // The gateway starts a program as its EXE entry followed by " DDE".
  if (argc > 1 && std::string(argv[argc - 1]) == "DDE") --argc;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") {
      options.command.assign(argv + i + 1, argv + argc);
      break;
    }
    if (word == "--help" || word == "-h") {
      options.help = true;
      continue;
    }
    if (word == "--version") {
      options.version = true;
      continue;
    }
    if (word.rfind("-", 0) != 0) throw std::invalid_argument("stray word " + word);
    if (word.rfind("--", 0) != 0 || !known.count(word.substr(2)))
      throw std::invalid_argument("unknown option " + word);
    if (i + 1 >= argc) throw std::invalid_argument(word + " needs a value");
    options.values[word.substr(2)] = argv[++i];
  }
  return options;
}

std::string ToolVersion() { return KORVANE_LINK_VERSION; }

int HandleToolOptions(const char* tool, const char* usage,
                      const std::function<ToolOptions()>& parse, ToolOptions& options) {
  try {
    options = parse();
  } catch (const std::exception& e) {
    std::cerr << tool << ": " << e.what() << "\n" << usage;
    return 2;
  }
  if (options.help) {
    std::cout << usage;
    return 0;
  }
  if (options.version) {
    std::cout << tool << " " << ToolVersion() << "\n";
    return 0;
  }
  return -1;
}

}  // namespace korvane::tools
