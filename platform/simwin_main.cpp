// The native program's process entry: the simulated machine checks that it
// has a machine to run in, takes over the command line and hands it to the
// program's WinMain, whose result is the exit code.
#include "platform.h"

int main(int argc, char **argv) {
  return SimMain(argc, argv, WinMain);
}
