// Stands in for the installer's uninstall engine in tests. It notes how it
// was started (command line, current directory, whether its log could be
// read there) in C:\engine.txt, after a pause long enough that an
// uninstaller which did not wait for it would already have removed its log.
#include <string.h>

#include "platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Sleep(500);
  FILE *log = OpenFileStream("install.log", "rb");
  if (log != NULL) fclose(log);

  char directory[MAX_PATH];
  DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
  if (length == 0 || length >= sizeof directory) directory[0] = '\0';

  FILE *record = OpenFileStream("C:\\engine.txt", "wb");
  if (record == NULL) return 1;
  fprintf(record, "cmdline=%s\ncwd=%s\nlog=%s\n", GetCommandLineA(), directory,
          log != NULL ? "readable" : "missing");
  return fclose(record) == 0 ? 0 : 1;
}
