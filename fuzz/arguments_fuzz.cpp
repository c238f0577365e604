// Fuzzes the argument rule and the command line built from an install
// directory: the argument string is what follows the program's name, and
// nothing is ever written past a buffer, whatever the input.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "uninstall.h"

namespace {

void Check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line((const char *)data, size);
  line = line.substr(0, line.find('\0'));
  const char *start = line.c_str();
  const char *arguments = ArgumentString(start);
  Check(arguments >= start && arguments <= start + line.size(), "inside the command line");
  Check(!Blank(*arguments), "blanks after the name are taken off");

  // What was taken off: blanks, one name (quoted or not), blanks.
  std::string name(start, (size_t)(arguments - start));
  size_t i = name.find_first_not_of(" \t");
  if (i != std::string::npos) {
    size_t end = name.find_last_not_of(" \t");
    std::string token = name.substr(i, end - i + 1);
    if (token[0] == '"') {
      std::string inner = token.substr(1);
      if (!inner.empty() && inner.back() == '"') inner.pop_back();
      Check(inner.find_first_of("\"\t") == std::string::npos, "a quoted name ends at its quote");
    } else {
      Check(token.find_first_of(" \t") == std::string::npos, "a plain name ends at a blank");
    }
  }

  // The same bytes as an install directory: the command line and the
  // directory strings stay inside their buffers.
  char directory[MAX_PATH];
  snprintf(directory, sizeof directory, "%s", start);
  AddBackslash(directory, sizeof directory);
  char command[256];
  if (BuildCommandLine(command, sizeof command, directory, "\\uninstal.000", "/S install.log")) {
    Check(strstr(command, "uninstal.000") != NULL, "the command names the engine");
  }
  char parent[MAX_PATH];
  DirectoryOf(directory, parent, sizeof parent);
  char path[MAX_PATH];
  JoinPath(path, sizeof path, parent, arguments);
  SameTextIgnoringCase(arguments, "-norename");
  return 0;
}
