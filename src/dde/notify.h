// Link notifications: a served program answers a session's request by
// setting the session's notify item to "<answer file>,<request id>"; the
// answer file then goes to the browser.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// The notification event of lnkDDE(Index); Index is the session number.
asio::awaitable<void> lnkDDE_LinkNotify(Gateway& g, int Index);

// The file and request id of a notify item's value ("a.htm,123,..." gives
// "a.htm" and "123"; without a comma the id is empty).
struct NotifyValue {
  std::string file;
  std::string id;
};
NotifyValue ParseNotifyValue(const std::string& caption);

// Served programs name their answer files as host paths; the files layer
// takes the gateway's own names. A host path inside the drives folder or the
// home folder becomes that name ("<drives>/c/temp/a.htm" is "C:\temp\a.htm");
// any other name is kept as it is.
std::string AnswerFileName(Files& files, const std::string& file);

}  // namespace korvane
