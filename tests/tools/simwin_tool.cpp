// Asks the simulated Windows machine in $SIMWIN_ROOT about its paths, for
// scripts that lay out and inspect a machine from outside:
//   simwin_tool shortpath <windows path>   the 8.3 form, as GetShortPathNameA gives it
//   simwin_tool hostpath <windows path>    the host path it stands for
//   simwin_tool winpath <host path>        the Windows path of a host path
// Prints the answer and a line feed; exit code 1 when there is none, 2 on a
// wrong call.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"

namespace {

int Usage() {
  fputs("usage: simwin_tool shortpath|hostpath <windows path> | winpath <host path>\n", stderr);
  return 2;
}

int Answer(bool ok, const char *answer, const char *command, const char *path) {
  if (!ok) {
    fprintf(stderr, "simwin_tool: no %s for %s\n", command, path);
    return 1;
  }
  printf("%s\n", answer);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return Usage();
  const char *command = argv[1];
  const char *path = argv[2];
  const char *root = getenv("SIMWIN_ROOT");
  if (root == NULL || !SimSetRoot(root)) {
    fputs("simwin_tool: SIMWIN_ROOT does not name a machine folder with drive_c\n", stderr);
    return 2;
  }

  char answer[4096];
  if (strcmp(command, "shortpath") == 0) {
    DWORD length = GetShortPathNameA(path, answer, MAX_PATH);
    return Answer(length > 0 && length < MAX_PATH, answer, command, path);
  }
  if (strcmp(command, "hostpath") == 0) {
    return Answer(SimHostPath(path, answer, sizeof answer), answer, command, path);
  }
  if (strcmp(command, "winpath") == 0) {
    return Answer(SimWindowsPath(path, answer, sizeof answer), answer, command, path);
  }
  return Usage();
}
