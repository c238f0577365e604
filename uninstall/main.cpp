// The program's entry point. The argument string is taken from the full
// command line by the program's own rule, so every build and every way of
// starting it agree on what was passed.
#include "uninstall.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return RunUninstall(instance, ArgumentString(GetCommandLineA()));
}
