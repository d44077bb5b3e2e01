// Small routines every subsystem uses: the event log, the reply-line
// writer, the tokenizer, replace-all and a wait that lets every other event
// go on.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Writes one line to the log file and, when list is given, to that list.
// Text from "pass=" on is never logged.
void LogEvent(Gateway& g, ListBox* list, const std::string& message);

// Sends one reply line on slot k, logged; kUnlogged keeps it out of the log.
enum class Reply { kLogged, kUnlogged };
asio::awaitable<void> SendReply(Gateway& g, int k, std::string text);
asio::awaitable<void> SendReply(Gateway& g, int k, Reply how, std::string text);
// The same with other bytes on the wire than the logged text (a whole
// response for today's clients, see http_answer.h).
asio::awaitable<void> SendReplyAs(Gateway& g, int k, Reply how, std::string text, std::string wire);

// Returns the part of s before the first delim (trimmed of blanks) and
// leaves the trimmed rest in s.
std::string NextToken(std::string& s, const std::string& delim);
// The same split at a delimiter found at at (npos: none found).
std::string TokenAt(std::string& s, size_t at, size_t delim_size);

// Replaces every occurrence of search in s. An empty search text does
// nothing (it would be found everywhere, forever).
void ReplaceAll(std::string& s, const std::string& search, const std::string& replacement);

// Waits the given seconds while every other event goes on.
asio::awaitable<void> Pause(Gateway& g, float seconds);

// Lets pending events run once before going on. A pass of the event loop
// polls every socket, and loops that let events run after each small step
// (a 4096-byte block, a reply) would spend most of their time polling: a
// pass is made only when the last one is at least kEventPassSpacing ago, so
// an event that arrives meanwhile waits at most that long.
asio::awaitable<void> YieldOnce(Gateway& g);
constexpr std::chrono::microseconds kEventPassSpacing{100};

// Blanks-only trimming, as the system trims texts.
std::string Trim(const std::string& s);

}  // namespace korvane
