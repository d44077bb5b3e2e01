// The programs the gateway started for its links, while they run: ended
// when the gateway exits (unless their section says KeepRunning=1), and
// ended and started again when they leave waiting requests unanswered for
// RestartAfter seconds (off when 0 or missing).
#pragma once
#include <asio.hpp>
#include <sys/types.h>

#include <string>

#include "core/gateway.h"

namespace korvane {

// A program has been started for linkTopic ("program|topic") from its EXE
// entry; it is watched until it ends.
void NoteStartedProgram(Gateway& g, pid_t pid, const std::string& linkTopic, const std::string& exePath);

// A program answered a request of one of its topics.
void NoteProgramAnswer(Gateway& g, const std::string& linkTopic);

// SIGTERM to each started program still running (and its process group),
// except those whose section says KeepRunning=1; SIGKILL to any still
// running 5 seconds later. Returns when all have ended or been killed.
asio::awaitable<void> EndStartedPrograms(Gateway& g);

}  // namespace korvane
