// The two roads a web request can take besides a document: a link to a
// served program (road 1) and a program run (road 2). The router and the
// document responses hand requests over here.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Road 1: relays the query text to the served program of the request's
// link. Nothing goes to the browser on success; the program answers later
// through its notify item.
asio::awaitable<void> WWW_DDE_Request(Gateway& g, int index, std::string query);

// Road 2: runs a configured program and sends back the file it writes.
// file empty: text is the router's query text. Otherwise file is a document
// for the program and text the topic name; copyFlag true copies the
// document into the program's input file, false hands over the document.
asio::awaitable<void> WWW_EXE_Request(Gateway& g, int index, std::string file, std::string text,
                                      bool copyFlag);

}  // namespace korvane
