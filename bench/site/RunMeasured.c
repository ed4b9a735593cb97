/* Runs a command and prints "seconds peak-rss-kb exit-status". Small on
 * purpose: a child's peak RSS starts from its parent's at fork, so the
 * measuring parent must be tiny. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.6f %ld %d\n", seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
  return 0;
}
