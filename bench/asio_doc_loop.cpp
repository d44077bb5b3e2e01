// The floor for small documents: a bare one-thread Asio coroutine server,
// built the way the gateway is (one io_context, one coroutine per
// connection), that does nothing but what every document request needs.
// bench/http_vs_nginx.py measures it beside the gateway and nginx with the
// same client, so the gateway's figure can be read against what this way of
// building a server costs on this machine at that moment.
//
//   asio_doc_loop PORT FILE
//
// Per connection: read until the blank line that ends the head, open FILE
// and measure it, send a head with the gateway's fields and the bytes (up
// to 64 KiB read and sent in one gathered write, beyond that by sendfile),
// wait for the client to close, close. No log, no
// settings, no look-up without case, no expiry timer, no session table:
// those are the gateway's own work, and the difference between the two
// figures is what they cost.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
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

bool server_closes = false;

// Reads up to the blank line that ends the request's head.
asio::awaitable<bool> ReadHead(tcp::socket& socket, std::array<char, 8192>& in) {
  size_t have = 0;
  for (;;) {
    std::error_code ec;
    size_t n = co_await socket.async_read_some(asio::buffer(in.data() + have, in.size() - have),
                                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return false;
    have += n;
    if (std::string_view(in.data(), have).find("\r\n\r\n") != std::string_view::npos) co_return true;
    if (have == in.size()) co_return false;
  }
}

// A small file is read and sent with its head in one gathered write.
asio::awaitable<bool> SendSmall(tcp::socket& socket, int fd, const std::string& head, size_t size) {
  std::string body(size, '\0');
  if (::pread(fd, body.data(), size, 0) != static_cast<ssize_t>(size)) co_return false;
  std::array<asio::const_buffer, 2> out = {asio::buffer(head), asio::buffer(body)};
  std::error_code ec;
  co_await asio::async_write(socket, out, asio::redirect_error(asio::use_awaitable, ec));
  co_return !ec;
}

// A large one goes from the file to the socket by sendfile, corked as
// nginx's tcp_nopush and the gateway's documents are, waiting for room
// whenever the socket is full.
asio::awaitable<bool> SendLarge(tcp::socket& socket, int fd, const std::string& head, off_t size) {
  int s = socket.native_handle();
  int on = 1, off_flag = 0;
  ::setsockopt(s, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  std::error_code ec;
  co_await asio::async_write(socket, asio::buffer(head), asio::redirect_error(asio::use_awaitable, ec));
  socket.native_non_blocking(true, ec);
  off_t offset = 0;
  while (!ec && offset < size) {
    ssize_t n = ::sendfile(s, fd, &offset, static_cast<size_t>(size - offset));
    if (n < 0 && errno == EAGAIN) {
      co_await socket.async_wait(tcp::socket::wait_write, asio::redirect_error(asio::use_awaitable, ec));
    } else if (n <= 0) {
      co_return false;
    }
  }
  ::setsockopt(s, IPPROTO_TCP, TCP_CORK, &off_flag, sizeof off_flag);
  co_return !ec;
}

asio::awaitable<void> Serve(tcp::socket socket, const char* path) {
  std::array<char, 8192> in;
  if (!co_await ReadHead(socket, in)) co_return;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) co_return;
  struct stat st;
  bool sent = false;
  if (::fstat(fd, &st) == 0) {
    std::string head = Head(st);
    sent = st.st_size <= 65536 ? co_await SendSmall(socket, fd, head, static_cast<size_t>(st.st_size))
                               : co_await SendLarge(socket, fd, head, st.st_size);
  }
  ::close(fd);
  // The client reads to the end and closes; its end is ours to wait for,
  // as the gateway does, so that TIME_WAIT stays on the client's side.
  if (!sent || server_closes) co_return;
  std::error_code ec;
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
