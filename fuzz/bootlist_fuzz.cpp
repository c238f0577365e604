// Fuzzes the rewrite of the boot-time list: whatever the old list holds,
// every old line comes back in order and the new entry lands at the end of
// the first [rename] section (or in a section of its own at the end).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "uninstall.h"

namespace {

const char kEntry[] = "NUL=C:\\X\\F.DLL";

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Lines are read in pieces of 254 characters; a section head is one that
// shows in the first piece of its line.
const size_t kPiece = 254;

bool IsHead(const std::string &whole) {
  std::string line = whole.substr(0, kPiece);
  size_t i = line.find_first_not_of(" \t");
  return i != std::string::npos && line[i] == '[';
}

bool IsRenameHead(const std::string &whole) {
  std::string line = whole.substr(0, kPiece);
  size_t i = line.find_first_not_of(" \t");
  if (i == std::string::npos || line[i] != '[') return false;
  i = line.find_first_not_of(" \t", i + 1);
  if (i == std::string::npos || line.size() - i < 6) return false;
  for (size_t k = 0; k < 6; k++) {
    if (tolower((unsigned char)line[i + k]) != "rename"[k]) return false;
  }
  i = line.find_first_not_of(" \t", i + 6);
  return i != std::string::npos && line[i] == ']';
}

void Check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *in = tmpfile();
  if (in == NULL) return 0;
  fwrite(data, 1, size, in);
  rewind(in);
  char *written = NULL;
  size_t writtenSize = 0;
  FILE *out = open_memstream(&written, &writtenSize);
  std::string entryLine = std::string(kEntry) + "\n";
  bool ok = CopyListWithEntry(in, out, entryLine.c_str());
  fclose(in);
  fclose(out);
  std::string result(written, writtenSize);
  free(written);
  Check(ok, "the rewrite reports success");

  // The old list as text mode reads it.
  std::string old((const char *)data, size);
  old = old.substr(0, old.find('\x1A'));
  std::string plain;
  for (char c : old) {
    if (c != '\r') plain += c;
  }
  std::vector<std::string> before = Lines(plain);

  // Line ends are CR LF, and only line ends carry a CR.
  for (size_t i = 0; i < result.size(); i++) {
    if (result[i] == '\r') Check(i + 1 < result.size() && result[i + 1] == '\n', "lone CR");
    if (result[i] == '\n') Check(i > 0 && result[i - 1] == '\r', "bare LF");
  }
  std::string unix;
  for (char c : result) {
    if (c != '\r') unix += c;
  }
  std::vector<std::string> after = Lines(unix);

  size_t firstRename = before.size();
  for (size_t i = 0; i < before.size(); i++) {
    if (IsRenameHead(before[i])) {
      firstRename = i;
      break;
    }
  }
  if (firstRename == before.size()) {
    std::vector<std::string> expected = before;
    expected.push_back("[rename]");
    expected.push_back(kEntry);
    Check(after == expected, "a new section at the end");
    return 0;
  }
  size_t sectionEnd = firstRename + 1;
  while (sectionEnd < before.size() && !IsHead(before[sectionEnd])) sectionEnd++;
  std::vector<std::string> expected = before;
  expected.insert(expected.begin() + (long)sectionEnd, kEntry);
  Check(after == expected, "old lines in order, entry at the end of the first [rename] section");
  return 0;
}
