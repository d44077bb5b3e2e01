// The block sender: streams a file over a connected socket in 4096-byte
// blocks, waiting out full send buffers while every other session goes on.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

constexpr int kSendBlock = 4096;
// Blocks the kernel sends straight from the page cache in one pass of the
// send loop before other sessions get a turn; each is taken whole, as a
// send of its own. Where the bytes are copied through the gateway (a
// one-block document, a file that shrank) a pass sends one block.
constexpr int kBlocksPerKernelPass = 256;

// Sends the file fname on c; index names the session in the log. True when
// the loop ended without an error (a client that went away counts as that);
// false when the file could not be opened or the socket reported an error.
asio::awaitable<bool> send_BinaryFile(Gateway& g, int index, SocketControl& c, std::string fname);

}  // namespace korvane
