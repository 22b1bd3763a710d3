/* Runs a program and prints its peak resident set size in KiB on stderr:
 *
 *   peak_rss program [args...]
 *
 * Linux carries a process's high-water RSS across exec, so a child started
 * straight from a large process (the Python driver) reports at least the
 * parent's size. Started from this small static program with vfork, the
 * child inherits next to nothing, and its figure is its own. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: peak_rss program [args...]\n");
    return 2;
  }
  pid_t pid = vfork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) return 2;
  fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
