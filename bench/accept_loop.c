/* The floor for admissions: a bare server that accepts a connection on
 * 127.0.0.1:PORT, sends one line, closes, and takes the next, for ever
 * (until it is killed). bench/admission.py measures it beside the gateway
 * with the same client, so the gateway's figure can be read against what
 * the kernel and the client allow on this machine at that moment.
 *
 *   accept_loop PORT
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: accept_loop PORT\n");
    return 2;
  }
  int listener = socket(AF_INET, SOCK_STREAM, 0);
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
  static const char line[] = "220 ready\r\n";
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    if (write(fd, line, sizeof line - 1) < 0) { /* the client went away */ }
    close(fd);
  }
}
