/* The floor for admissions: a bare server that accepts a connection on
 * 127.0.0.1:PORT, sends one line and takes the next, for ever (until it is
 * killed). bench/admission.py measures it beside the gateway with the same
 * client, so the gateway's figure can be read against what the kernel and
 * the client allow on this machine at that moment.
 *
 *   accept_loop PORT                 closes at once after the line
 *   accept_loop PORT client-closes   keeps the connection until the client
 *                                    closes it, as an FTP server does after
 *                                    its greeting
 *
 * Who closes first matters on loopback: the side that closes first keeps
 * the connection in TIME_WAIT. When that is the client, every new connect
 * searches its port range past tens of thousands of them, and the client
 * shares the machine's cores with the server.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

static const char line[] = "220 ready\r\n";

static void close_at_once(int listener) {
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    if (write(fd, line, sizeof line - 1) < 0) { /* the client went away */ }
    close(fd);
  }
}

static void wait_for_client(int listener) {
  int ep = epoll_create1(0);
  struct epoll_event ev = {.events = EPOLLIN, .data.fd = listener};
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  struct epoll_event events[256];
  for (;;) {
    int n = epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd != listener) {
        char sink[256];
        if (read(fd, sink, sizeof sink) <= 0) close(fd);  /* also leaves the epoll set */
        continue;
      }
      int c;
      while ((c = accept4(listener, NULL, NULL, SOCK_NONBLOCK)) >= 0) {
        if (write(c, line, sizeof line - 1) < 0) { /* the client went away */ }
        struct epoll_event conn = {.events = EPOLLIN | EPOLLRDHUP, .data.fd = c};
        epoll_ctl(ep, EPOLL_CTL_ADD, c, &conn);
      }
    }
  }
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "client-closes") != 0)) {
    fprintf(stderr, "usage: accept_loop PORT [client-closes]\n");
    return 2;
  }
  const int client_closes = argc == 3;
  int listener = socket(AF_INET, SOCK_STREAM | (client_closes ? SOCK_NONBLOCK : 0), 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)atoi(argv[1]));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(listener, 511) != 0) {
    perror("accept_loop");
    return 1;
  }
  if (client_closes) wait_for_client(listener);
  close_at_once(listener);
  return 0;
}
