// The request relay: a web request whose link names a served program goes
// to that program as an execute command.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Relays the query text to the served program of the request's link.
// Nothing goes to the browser on success; the program answers later
// through its notify item.
asio::awaitable<void> WWW_DDE_Request(Gateway& g, int index, std::string query);

// Longest request text that travels in the execute command itself.
inline constexpr size_t kLongestExecuteText = 1020;

// Whether the allowed links (the lnkTopic box, " link " entries) hold topic.
bool TopicAllowed(Gateway& g, const std::string& topic);

// The text after "n," in a request's execute command: the rewritten query
// and, when the browser sent a password, character 26 and its tail.
std::string RequestText(const std::string& r, const std::string& stail);

// The served program ended slot index's notify link while its session
// waited for the answer: the session gets the relay's error answer at once
// (293) instead of waiting for its expiry.
asio::awaitable<void> LinkLost(Gateway& g, int index);

}  // namespace korvane
