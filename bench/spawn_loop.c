/* The ceiling for program runs: starts PROGRAM INPUT and waits for it, one
 * run after the other, for SECONDS, and prints the number of runs. It does
 * nothing else a server must do per request (no socket, no input file, no
 * answer), so no server that starts the program per request can run it
 * more often than these loops do, side by side, on the same machine.
 *
 *   spawn_loop SECONDS PROGRAM INPUT
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: spawn_loop SECONDS PROGRAM INPUT\n");
    return 2;
  }
  double stop_at = now() + atof(argv[1]);
  char* args[] = {argv[2], argv[3], NULL};
  /* The program's standard output goes where a server sends it: nowhere. */
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  long runs = 0;
  while (now() < stop_at) {
    pid_t pid;
    if (posix_spawn(&pid, argv[2], &quiet, NULL, args, environ) != 0) {
      perror("spawn_loop");
      return 1;
    }
    int status;
    waitpid(pid, &status, 0);
    ++runs;
  }
  printf("%ld\n", runs);
  return 0;
}
