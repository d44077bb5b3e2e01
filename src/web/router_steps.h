// Steps of the router that stand on their own: protecting a password field
// of the query text, and turning a request line into a document path.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Code-26, 27 and 29 characters frame the password block at the end of a
// query text; consumers split the query at the first of them.
constexpr char kPasswordBlockStart = '\x1a';
constexpr char kPasswordBlockKey = '\x1b';
constexpr char kPasswordBlockEnd = '\x1d';

// A plain "pass=" value is masked as "&pass=*&" and its encoding appended
// as the password block; a wrapped "[{...}]" value that does not survive
// encoding only loses its wrapper.
std::string ProtectPassword(Gateway& g, std::string query, const std::string& address);

// The document a request line names, from its path at 1-based pathStart:
// found in the local or the net export folder, a "\dir\" listing path, or ""
// (refused or not found). Lower case.
std::string DocumentPath(Gateway& g, const std::string& request, size_t pathStart);

// Whether slot i's request asks for the metrics page and may have it
// (web/metrics_page.cpp); SendMetricsPage answers it and ends the session.
bool IsMetricsRequest(Gateway& g, int i, const std::string& request);
asio::awaitable<void> SendMetricsPage(Gateway& g, int i);

}  // namespace korvane
