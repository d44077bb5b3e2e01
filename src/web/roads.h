// The program run, the road a web request takes besides a document and a
// link to a served program (the link goes to the relay through the
// gateway's relayLink hook). The router and the document responses hand
// requests over here.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Road 2: runs a configured program and sends back the file it writes.
// file empty: text is the router's query text. Otherwise file is a document
// for the program and text the topic name; copyFlag true copies the
// document into the program's input file, false hands over the document.
asio::awaitable<void> WWW_EXE_Request(Gateway& g, int index, std::string file, std::string text,
                                      bool copyFlag);

}  // namespace korvane
