// Document responses: the one way a document, a program's output or a
// served program's answer reaches the browser.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"
#include "core/http_answer.h"
#include "platform/clock.h"

namespace korvane {

// Answers session i with the document at path (head and body). type, when
// given, is the content type and skips every configuration look-up. The
// outcome is left in the record's success; "not found" clears keepalive.
asio::awaitable<void> www_send_file(Gateway& g, int i, std::string path, std::string type,
                                    bool lastModified, bool noRecentCopy, bool headOnly);

// "Fri, 4 Dec 2026 09:05:07": the current UTC time when path is empty, else
// the file's last-write time (UTC); "" when the file cannot be read.
std::string HttpDate(const Files& files, const std::string& path);

// Writes the HTML listing of a folder (or a folder and a file pattern) to
// the session's tempfile.
asio::awaitable<void> MakeDirectoryListing(Gateway& g, int i, std::string path);

}  // namespace korvane
