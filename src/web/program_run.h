// Running programs: for a request (the program runner, WWW_EXE_Request in
// roads.h) and for the operator. A run is a coroutine wait: the gateway
// serves every other session while a program works.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// What the operator is asked before a command is run and waited for.
inline constexpr char kShellWaitPrompt[] = "command?";

// Starts command and returns when the program has ended; other events go
// on meanwhile. handedFile, when given, is a file of the gateway's own that
// appears in the command as a gateway path: the program gets its host path.
// Returns false, with the reason in why, when the program did not start.
asio::awaitable<bool> ShellAndWait(Gateway& g, std::string command, std::string handedFile = "",
                                   std::string* why = nullptr);

// Starts command without waiting for it, then gives it 5 seconds to come up
// (a served program needs that long to open its link socket).
asio::awaitable<void> StartProgram(Gateway& g, std::string command);

// The Shell and Wait menu with the operator's answer to kShellWaitPrompt.
// Returns the text shown to the operator.
asio::awaitable<std::string> mnuShellWait_Click(Gateway& g, std::string command);

}  // namespace korvane
