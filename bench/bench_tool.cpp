// Runs one of the uninstaller's operations on a simulated machine, for the
// benchmarks: bench_tool ROOT copy SRC DST | schedule LIST DIR NAME
#include <stdio.h>
#include <string.h>

#include "uninstall.h"

int main(int argc, char **argv) {
  if (argc < 3 || !SimSetRoot(argv[1])) {
    fprintf(stderr, "usage: bench_tool ROOT copy SRC DST | schedule LIST DIR NAME\n");
    return 2;
  }
  if (strcmp(argv[2], "copy") == 0 && argc == 5) return CopyFileInBlocks(argv[3], argv[4]) ? 0 : 1;
  if (strcmp(argv[2], "schedule") == 0 && argc == 6) {
    return ScheduleDeleteAtBoot(argv[3], argv[4], argv[5]) ? 0 : 1;
  }
  fprintf(stderr, "bench_tool: unknown operation\n");
  return 2;
}
