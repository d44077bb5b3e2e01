// The upload store: a completed PUT body is copied to its destination.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

asio::awaitable<void> WWW_PutFIle(Gateway& g, int index, std::string destination);

}  // namespace korvane
