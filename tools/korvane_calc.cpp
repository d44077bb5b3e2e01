// korvane-calc: the sample served program. Application "calc", topic
// "sheet": a request with fields a and b is answered by a page with their
// sum and product.
//
//   korvane-calc [--link-dir DIR] [--answers DIR] [--record FILE] [--item-base NAME]
//
// --record appends every execute command it receives, byte for byte, each
// followed by one NUL byte, so that tests can compare what the gateway sent.
#include <csignal>
#include <fstream>
#include <iostream>

#include "link/request_text.h"
#include "link/served_program.h"
#include "tools/answer_file.h"
#include "tools/calc_page.h"
#include "tools/serve_loop.h"
#include "tools/tool_options.h"

namespace korvane::tools {
namespace {

constexpr const char* kTopic = "sheet";

class Calc {
 public:
  Calc(asio::io_context& io, link::ServedProgram& program, const ToolOptions& options)
      : io_(io),
        program_(program),
        answers_dir_(options.Get("answers", link::DefaultAnswersDir())),
        record_path_(options.Get("record", "")),
        // Without an initialize command (a program already running when the
        // gateway came up) the gateway's default item base applies.
        item_base_(options.Get("item-base", "lnkWWW")) {}

  bool Execute(const std::string& command) {
    Record(command);
    if (auto base = link::ParseInitializeCommand(command)) {
      item_base_ = *base;
      return true;
    }
    auto request = link::ParseExecuteCommand(command);
    if (!request || request->slot == 0) return false;
    if (request->slot < 0) return true;  // nothing is held between requests
    // Answer after the execute is acknowledged, as a program busy with the
    // work would.
    asio::post(io_, [this, request = *request] { Answer(request); });
    return true;
  }

 private:
  void Answer(const link::ExecuteCommand& request) {
    auto fields = link::ParseRequestFields(request.text);
    std::string slot = std::to_string(request.slot);
    std::string id = link::RequestIdText(link::FieldValue(fields, "ID").value_or(""));
    try {
      std::string file = PublishAnswer(answers_dir_, "calc-" + slot + ".htm", CalcPage(fields));
      program_.SetItem(kTopic, item_base_ + "(" + slot + ")", file + "," + id);
    } catch (const std::exception& e) {
      std::cerr << "korvane-calc: " << e.what() << "\n";
    }
  }

  void Record(const std::string& command) {
    if (record_path_.empty()) return;
    std::ofstream out(record_path_, std::ios::binary | std::ios::app);
    out << command << '\0';
  }

  asio::io_context& io_;
  link::ServedProgram& program_;
  std::string answers_dir_;
  std::string record_path_;
  std::string item_base_;
};

constexpr const char* kUsage =
    "usage: korvane-calc [--link-dir DIR] [--answers DIR] [--record FILE] [--item-base NAME]\n"
    "       korvane-calc --help | --version\n"
    "Serves link calc|sheet: a request with fields a and b gets a page with a+b and a*b.\n"
    "Answers go to --answers (default: $KORVANE_ANSWERS_DIR, else\n"
    "<gateway home>/drives/c/temp/answers). See docs/link-protocol.md.\n";

int Main(int argc, char** argv) {
  ToolOptions options;
  int code = HandleToolOptions("korvane-calc", kUsage, [&] {
    return ParseToolOptions(argc, argv, {"link-dir", "answers", "record", "item-base"});
  }, options);
  if (code >= 0) return code;
  asio::io_context io;
  link::ServedProgram program(io, "calc", options.Get("link-dir", link::DefaultLinkDir()));
  Calc calc(io, program, options);
  program.AddTopic(kTopic, [&](const std::string& command) { return calc.Execute(command); });
  return ServeUntilSignalled(io, program, "korvane-calc");
}

}  // namespace
}  // namespace korvane::tools

int main(int argc, char** argv) { return korvane::tools::Main(argc, argv); }
