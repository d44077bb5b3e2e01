// What the reader does with the head lines of an HTTP request and with its
// body: the session fields each head line fills, form bodies folded into
// the request string, PUT and multipart bodies written to a temporary file.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Head-line steps. line includes its terminator.
asio::awaitable<void> PutSetUp(Gateway& g, int index, const std::string& line);
// A declared body over MaxFileLength is refused here, before any of it is
// stored, and the session ends.
asio::awaitable<void> ContentLengthLine(Gateway& g, int index, const std::string& line);
void ContentTypeLine(Gateway& g, int index, const std::string& line);
void RefererLine(Gateway& g, int index, const std::string& line);

// Body steps, by state: 3 form, 5 PUT, 7 multipart.
asio::awaitable<void> FormBodyLine(Gateway& g, int index, const std::string& line);
asio::awaitable<void> PutBodyLine(Gateway& g, int index, const std::string& line);
asio::awaitable<void> MultipartBodyLine(Gateway& g, int index, const std::string& line);

// The body limit when MaxFileLength holds no usable number.
constexpr int32_t kMaxBody = 1500000;

}  // namespace korvane
