// The web request router: a complete HTTP request goes to a document, a
// link relay or a program run.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Road numbers of check_WWW_Type.
constexpr int kRoadDocument = 0;
constexpr int kRoadLink = 1;
constexpr int kRoadProgram = 2;

// Called when a request is complete; the request is in the record's request.
asio::awaitable<void> WWW_Process_Request_sendfile(Gateway& g, int index, std::string line);

// The road of request r with query text s (neither is changed).
int check_WWW_Type(Gateway& g, const std::string& r, const std::string& s);

// The "program|topic" link a query text names. On return r holds the text
// before the first code-26 character (rewritten) and stail the text after.
std::string extractlink(std::string& r, std::string& stail);

// Writes to output a copy of the template with every "$name" replaced by
// that field's value from query (its first item is never a field).
asio::awaitable<void> FillTemplate(Gateway& g, std::string query, std::string templatePath,
                                   std::string outputPath);

}  // namespace korvane
