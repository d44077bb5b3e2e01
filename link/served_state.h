// What a served program shares with its open connections: the topics with
// their execute handlers and items, and the connections to tell of changes.
// Connections hold it by shared_ptr so that they may outlive the program
// object while they wind down.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvane::link {

class Connection;
using ExecuteHandler = std::function<bool(const std::string& command)>;

struct ServedTopic {
  std::string name;
  ExecuteHandler on_execute;
  std::map<std::string, std::string> items;  // key: item name in lower case
};

struct ServedState {
  std::map<std::string, ServedTopic> topics;  // key: topic name in lower case
  std::vector<std::weak_ptr<Connection>> connections;
};

// Names of applications, topics and items are compared without case.
std::string LowerCase(std::string text);

}  // namespace korvane::link
