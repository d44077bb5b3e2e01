// The floor for small documents: a bare one-thread Asio coroutine server,
// built the way the gateway is (one io_context, one coroutine per
// connection), that does nothing but what every document request needs.
// bench/http_vs_nginx.py measures it beside the gateway and nginx with the
// same client, so the gateway's figure can be read against what this way of
// building a server costs on this machine at that moment.
//
//   asio_doc_loop PORT FILE
//
// Per connection: read until the blank line that ends the head, open FILE,
// measure it and read it, send a head of the gateway's size and the bytes in
// one gathered write, wait for the client to close, close. No log, no
// settings, no look-up without case, no expiry timer, no session table:
// those are the gateway's own work, and the difference between the two
// figures is what they cost.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

using asio::ip::tcp;
namespace {


std::string HttpDate(std::time_t t) {
  char text[64];
  std::tm tm;
  gmtime_r(&t, &tm);
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return text;
}

// The head the gateway sends for a document, with the same fields.
std::string Head(const struct stat& st) {
  return "HTTP/1.1 200 OK\r\nDate: " + HttpDate(std::time(nullptr)) +
         "\r\nServer: asio_doc_loop\r\nConnection: Close\r\nLast-Modified: " + HttpDate(st.st_mtime) +
         "\r\nContent-Length: " + std::to_string(st.st_size) + "\r\nContent-Type: text/plain\r\n\r\n";
}

bool ReadFile(const char* path, std::string& head, std::string& body) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok) {
    body.resize(static_cast<size_t>(st.st_size));
    ok = ::pread(fd, body.data(), body.size(), 0) == static_cast<ssize_t>(body.size());
    head = Head(st);
  }
  ::close(fd);
  return ok;
}

bool server_closes = false;

asio::awaitable<void> Serve(tcp::socket socket, const char* path) {
  std::array<char, 8192> in;
  size_t have = 0;
  for (;;) {
    std::error_code ec;
    size_t n = co_await socket.async_read_some(asio::buffer(in.data() + have, in.size() - have),
                                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    have += n;
    if (std::string_view(in.data(), have).find("\r\n\r\n") != std::string_view::npos) break;
    if (have == in.size()) co_return;
  }
  std::string head, body;
  if (!ReadFile(path, head, body)) co_return;
  std::array<asio::const_buffer, 2> out = {asio::buffer(head), asio::buffer(body)};
  std::error_code ec;
  co_await asio::async_write(socket, out, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return;
  // The client reads to the end and closes; its end is ours to wait for,
  // as the gateway does, so that TIME_WAIT stays on the client's side.
  if (server_closes) co_return;
  while (!ec) co_await socket.async_read_some(asio::buffer(in), asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> Listen(tcp::acceptor& acceptor, const char* path) {
  for (;;) {
    std::error_code ec;
    tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) continue;
    socket.set_option(tcp::no_delay(true));
    asio::co_spawn(acceptor.get_executor(), Serve(std::move(socket), path), asio::detached);
  }
}

}  // namespace

int main(int argc, char** argv) {
  server_closes = argc == 4 && std::string_view(argv[3]) == "server-closes";
  if (argc != 3 && !server_closes) {
    std::fprintf(stderr, "usage: asio_doc_loop PORT FILE\n");
    return 2;
  }
  asio::io_context io(1);
  tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::atoi(argv[1]))});
  asio::co_spawn(io, Listen(acceptor, argv[2]), asio::detached);
  io.run();
}
