/* Admission load: keeps N connections in flight against 127.0.0.1:PORT;
 * each connects, reads until its first line ends, closes, and starts over.
 * Prints "<admissions> <first-line codes>" after SECONDS, e.g.
 * "52000 220=52000".
 *
 *   admit_load PORT CLIENTS SECONDS
 *
 * One thread, epoll, non-blocking sockets: the client costs far less CPU
 * than the gateway it measures, so the two cores are mostly the gateway's.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxClients = 1024, kCodes = 8 };

struct client {
  int fd;
  char line[256];
  size_t have;
};

static struct sockaddr_in target;
static int epfd;
static char codes[kCodes][4];
static long counts[kCodes];
static long failures;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void tally(const char* code) {
  for (int i = 0; i < kCodes; ++i) {
    if (codes[i][0] == 0) memcpy(codes[i], code, 3);
    if (memcmp(codes[i], code, 3) == 0) {
      counts[i]++;
      return;
    }
  }
}

static void start(struct client* c) {
  c->have = 0;
  c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (c->fd < 0) {
    perror("socket");
    exit(1);
  }
  if (connect(c->fd, (struct sockaddr*)&target, sizeof target) != 0 && errno != EINPROGRESS) {
    failures++;
  }
  struct epoll_event ev = {.events = EPOLLIN | EPOLLRDHUP, .data.ptr = c};
  epoll_ctl(epfd, EPOLL_CTL_ADD, c->fd, &ev);
}

static void finish(struct client* c, int ok) {
  if (ok) {
    char code[4] = "eof";
    if (c->have >= 3) memcpy(code, c->line, 3);
    tally(code);
  } else {
    failures++;
  }
  close(c->fd);  /* also leaves the epoll set */
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: admit_load PORT CLIENTS SECONDS\n");
    return 2;
  }
  int clients = atoi(argv[2]);
  if (clients < 1 || clients > kMaxClients) clients = 1;
  double seconds = atof(argv[3]);
  target.sin_family = AF_INET;
  target.sin_port = htons((unsigned short)atoi(argv[1]));
  inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
  epfd = epoll_create1(0);
  static struct client pool[kMaxClients];
  for (int i = 0; i < clients; ++i) start(&pool[i]);
  double stop_at = now() + seconds;
  struct epoll_event events[256];
  while (now() < stop_at) {
    int n = epoll_wait(epfd, events, 256, 100);
    for (int i = 0; i < n; ++i) {
      struct client* c = events[i].data.ptr;
      ssize_t r = read(c->fd, c->line + c->have, sizeof c->line - c->have);
      if (r < 0 && errno == EAGAIN) continue;
      if (r > 0) c->have += (size_t)r;
      int done = r <= 0 || memchr(c->line, '\n', c->have) || c->have == sizeof c->line;
      if (!done) continue;
      finish(c, r >= 0);
      start(c);
    }
  }
  long total = 0;
  for (int i = 0; i < kCodes; ++i) total += counts[i];
  printf("%ld", total);
  for (int i = 0; i < kCodes && codes[i][0]; ++i) printf(" %.3s=%ld", codes[i], counts[i]);
  if (failures) printf(" failed=%ld", failures);
  printf("\n");
  return 0;
}
