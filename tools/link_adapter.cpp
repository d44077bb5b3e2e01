// korvane-link-adapter: serves any command-line program over a link.
//
//   korvane-link-adapter --app NAME --topic TOPIC [--link-dir DIR] [--answers DIR]
//                        [--timeout SECONDS] [--item-base NAME] -- COMMAND ARGS...
//
// Each request "n,<request text>" runs COMMAND with the request text on
// stdin and in the environment (KORVANE_REQUEST, KORVANE_SLOT, KORVANE_ID
// and KORVANE_FIELD_<name> per field, names with characters other than
// letters, digits and "_" changed to "_"); its stdout becomes the answer
// file. Requests run side by side; one that outlives --timeout (default 60)
// is killed with its process group and answered with an error page.
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <csignal>
#include <iostream>
#include <map>

#include "link/request_text.h"
#include "link/served_program.h"
#include "tools/answer_file.h"
#include "tools/child_job.h"
#include "tools/serve_loop.h"
#include "tools/tool_options.h"

namespace korvane::tools {
namespace {

std::vector<std::string> RequestEnvironment(long slot, const std::string& text,
                                            const link::Fields& fields, const std::string& id) {
  std::vector<std::string> env{"KORVANE_REQUEST=" + text, "KORVANE_SLOT=" + std::to_string(slot),
                               "KORVANE_ID=" + id};
  std::map<std::string, std::string> seen;  // the first of equal names wins
  for (const auto& [name, value] : fields) {
    std::string key = name;
    for (char& c : key)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
    if (seen.emplace(key, value).second) env.push_back("KORVANE_FIELD_" + key + "=" + value);
  }
  return env;
}

class Adapter {
 public:
  Adapter(asio::io_context& io, link::ServedProgram& program, const ToolOptions& options)
      : io_(io),
        program_(program),
        topic_(options.Get("topic", "")),
        answers_dir_(options.Get("answers", link::DefaultAnswersDir())),
        item_base_(options.Get("item-base", "lnkWWW")),
        limit_(std::chrono::milliseconds(
            static_cast<long long>(1000 * std::stod(options.Get("timeout", "60"))))),
        command_(options.command) {}

  bool Execute(const std::string& command) {
    if (auto base = link::ParseInitializeCommand(command)) {
      item_base_ = *base;
      return true;
    }
    auto request = link::ParseExecuteCommand(command);
    if (!request || request->slot == 0) return false;
    if (request->slot < 0) {
      Cancel(-request->slot);
      return true;
    }
    std::uint64_t ticket = ++last_ticket_;
    latest_[request->slot] = ticket;
    asio::co_spawn(io_, Serve(request->slot, request->text, ticket), asio::detached);
    return true;
  }

 private:
  // The gateway no longer waits for this session's earlier requests.
  void Cancel(long slot) {
    latest_[slot] = ++last_ticket_;
    for (auto& [ticket, job] : running_)
      if (job.slot == slot) KillJob(job.pid);
  }

  asio::awaitable<void> Serve(long slot, std::string text, std::uint64_t ticket) {
    auto fields = link::ParseRequestFields(text);
    std::string id = link::RequestIdText(link::FieldValue(fields, "ID").value_or(""));
    std::string slot_text = std::to_string(slot);
    std::string part = answers_dir_ + "/." + program_.Application() + "-" + slot_text + "-" +
                       std::to_string(ticket) + ".part";
    JobSpec job{command_, RequestEnvironment(slot, text, fields, id), text, part, limit_};
    JobOutcome outcome;
    try {
      link::MakePrivateDirs(answers_dir_);
      outcome = co_await RunJob(io_, std::move(job),
                                [&](pid_t pid) { running_[ticket] = {slot, pid}; });
    } catch (const std::exception& e) {
      std::cerr << "korvane-link-adapter: " << e.what() << "\n";
    }
    running_.erase(ticket);
    // A newer request of the session, or a cancel, makes this answer moot.
    if (latest_[slot] != ticket) {
      ::unlink(part.c_str());
      co_return;
    }
    Publish(slot_text, id, part, outcome);
  }

  void Publish(const std::string& slot, const std::string& id, const std::string& part,
               const JobOutcome& outcome) {
    std::string name = program_.Application() + "-" + slot + ".htm";
    try {
      std::string file;
      if (auto failure = FailureText(outcome)) {
        std::cerr << "korvane-link-adapter: request " << id << " of session " << slot << ": "
                  << *failure << "\n";
        file = PublishAnswer(answers_dir_, name,
                             ErrorPage("Request failed", *failure, outcome.stderr_tail));
      } else
        file = PublishAnswerFile(answers_dir_, name, part);
      ::unlink(part.c_str());
      program_.SetItem(topic_, item_base_ + "(" + slot + ")", file + "," + id);
    } catch (const std::exception& e) {
      std::cerr << "korvane-link-adapter: " << e.what() << "\n";
    }
  }

  std::optional<std::string> FailureText(const JobOutcome& outcome) const {
    if (!outcome.started) return "The program " + command_.front() + " could not be started.";
    if (outcome.timed_out)
      return "The program did not answer within " + link::GeneralNumberText(limit_.count() / 1000.0) +
             " seconds and was stopped.";
    if (outcome.signal != 0)
      return "The program was ended by signal " + std::to_string(outcome.signal) + " (" +
             ::strsignal(outcome.signal) + ").";
    if (outcome.exit_status != 0)
      return "The program ended with exit status " + std::to_string(outcome.exit_status) + ".";
    return std::nullopt;
  }

  struct RunningJob {
    long slot;
    pid_t pid;
  };

  asio::io_context& io_;
  link::ServedProgram& program_;
  std::string topic_;
  std::string answers_dir_;
  std::string item_base_;
  std::chrono::milliseconds limit_;
  std::vector<std::string> command_;
  std::uint64_t last_ticket_ = 0;
  std::map<long, std::uint64_t> latest_;           // slot -> its newest request
  std::map<std::uint64_t, RunningJob> running_;    // ticket -> child
};

constexpr const char* kUsage =
    "usage: korvane-link-adapter --app NAME --topic TOPIC [--link-dir DIR] [--answers DIR]\n"
    "                            [--timeout SECONDS] [--item-base NAME] -- COMMAND ARGS...\n"
    "       korvane-link-adapter --help | --version\n"
    "Serves COMMAND as link NAME|TOPIC: each request runs it with the request on stdin\n"
    "and in KORVANE_REQUEST, KORVANE_SLOT, KORVANE_ID and KORVANE_FIELD_<name>; its\n"
    "stdout is the answer page. A failing or overdue run gets an error page.\n"
    "Answers go to --answers (default: $KORVANE_ANSWERS_DIR, else\n"
    "<gateway home>/drives/c/temp/answers). See docs/link-protocol.md.\n";

// Throws std::invalid_argument for options that make no adapter.
void CheckOptions(const ToolOptions& options) {
  if (options.Get("app", "").empty() || options.Get("topic", "").empty() ||
      options.command.empty())
    throw std::invalid_argument("--app, --topic and a command are required");
  std::size_t used = 0;
  std::string timeout = options.Get("timeout", "60");
  double seconds = std::stod(timeout, &used);
  if (used != timeout.size() || !(seconds > 0) || seconds > 1e6)
    throw std::invalid_argument("--timeout must be a positive number of seconds");
}

int Main(int argc, char** argv) {
  ToolOptions options;
  int code = HandleToolOptions("korvane-link-adapter", kUsage, [&] {
    ToolOptions parsed = ParseToolOptions(
        argc, argv, {"app", "topic", "link-dir", "answers", "timeout", "item-base"});
    if (!parsed.help && !parsed.version) CheckOptions(parsed);
    return parsed;
  }, options);
  if (code >= 0) return code;
  std::signal(SIGPIPE, SIG_IGN);
  asio::io_context io;
  link::ServedProgram program(io, options.Get("app", ""),
                              options.Get("link-dir", link::DefaultLinkDir()));
  Adapter adapter(io, program, options);
  program.AddTopic(options.Get("topic", ""),
                   [&](const std::string& command) { return adapter.Execute(command); });
  return ServeUntilSignalled(io, program, "korvane-link-adapter");
}

}  // namespace
}  // namespace korvane::tools

int main(int argc, char** argv) { return korvane::tools::Main(argc, argv); }
