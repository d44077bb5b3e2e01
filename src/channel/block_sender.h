// The block sender: streams a file over a connected socket in 4096-byte
// blocks, waiting out full send buffers while every other session goes on.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

constexpr int kSendBlock = 4096;
// Blocks sent in one pass of the send loop before other sessions get a
// turn: each is taken whole, as a send of its own. The kernel sends a run
// straight from the page cache; where the bytes are copied through the
// gateway (a file that shrank), a run is read at once and leaves the
// socket layer in one write.
constexpr int kBlocksPerKernelPass = 256;
constexpr int kBlocksPerPass = 16;

// Sends the file fname on c; index names the session in the log. True when
// the loop ended without an error (a client that went away counts as that);
// false when the file could not be opened or the socket reported an error.
asio::awaitable<bool> send_BinaryFile(Gateway& g, int index, SocketControl& c, std::string fname);

}  // namespace korvane
