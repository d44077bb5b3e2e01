// Helpers for tests of the link layer: a private link folder, and running
// coroutines to completion on an io_context that also serves programs (and
// so never runs out of work by itself).
#pragma once
#include <asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace korvane::testing {

// Short path under /tmp: socket paths must fit in 108 bytes.
class TempLinkDir {
 public:
  TempLinkDir() {
    char pattern[] = "/tmp/kvlink-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempLinkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

template <class Predicate>
bool RunUntil(asio::io_context& io, Predicate done,
              std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    io.restart();
    io.run_one_for(std::chrono::milliseconds(50));
  }
  return true;
}

template <class T>
T RunToEnd(asio::io_context& io, asio::awaitable<T> operation) {
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result = std::move(value);
  });
  if (!RunUntil(io, [&] { return result.has_value() || failure; }))
    throw std::runtime_error("operation did not finish");
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace korvane::testing
