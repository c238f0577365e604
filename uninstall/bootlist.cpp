// Entering files into wininit.ini, the list of file operations Windows
// carries out at its next start, before anything can hold the files open.
//
// The list is shared with every other program that left work for the next
// boot, so it is rewritten as a whole into a file of our own beside it and
// put in its place in one step: at every moment the list is either the old
// one or the complete new one.
//
// A section head is a line whose first character after blanks is "[",
// recognised in the first piece of its line.
//
// Text-mode rules are applied here rather than by the C library, so every
// build reads and writes the same bytes: carriage returns are dropped on
// reading, the first Ctrl-Z ends the file, and every line feed is written as
// carriage return and line feed.
#include <string.h>

#include "uninstall.h"

namespace {

const char kSectionHead[] = "[rename]\n";
const char kCtrlZ = 26;

// A line is read in pieces of at most this many characters, so a line of
// any length passes through unchanged.
const size_t kPieceSize = 254;

struct ListReader {
  FILE *stream;
  char buffer[4096];
  size_t length;
  size_t position;
  bool ended;
};

// Next character of the list as text mode sees it, or EOF.
int NextChar(ListReader *reader) {
  for (;;) {
    if (reader->ended) return EOF;
    if (reader->position == reader->length) {
      reader->length = fread(reader->buffer, 1, sizeof reader->buffer, reader->stream);
      reader->position = 0;
      if (reader->length == 0) {
        reader->ended = true;
        return EOF;
      }
    }
    char c = reader->buffer[reader->position++];
    if (c == '\r') continue;
    if (c == kCtrlZ) {
      reader->ended = true;
      return EOF;
    }
    return (unsigned char)c;
  }
}

// Reads up to kPieceSize characters, stopping after a line feed. Returns the
// number of characters read; 0 at the end of the list.
size_t ReadPiece(ListReader *reader, char *piece) {
  size_t length = 0;
  while (length < kPieceSize) {
    int c = NextChar(reader);
    if (c == EOF) break;
    piece[length++] = (char)c;
    if (c == '\n') break;
  }
  return length;
}

bool WriteText(FILE *out, const char *text, size_t length) {
  size_t start = 0;
  for (size_t i = 0; i < length; i++) {
    if (text[i] != '\n') continue;
    if (fwrite(text + start, 1, i - start, out) != i - start) return false;
    if (fwrite("\r\n", 1, 2, out) != 2) return false;
    start = i + 1;
  }
  return fwrite(text + start, 1, length - start, out) == length - start;
}

const char *SkipBlanks(const char *p, const char *end) {
  while (p < end && (*p == ' ' || *p == '\t')) p++;
  return p;
}

bool IsSectionHead(const char *line, size_t length) {
  const char *p = SkipBlanks(line, line + length);
  return p < line + length && *p == '[';
}

// "[rename]", letters in any case, blanks allowed around the name.
bool IsRenameHead(const char *line, size_t length) {
  const char *end = line + length;
  const char *p = SkipBlanks(line, end);
  if (p == end || *p++ != '[') return false;
  p = SkipBlanks(p, end);
  const char name[] = "rename";
  for (const char *n = name; *n != '\0'; n++, p++) {
    if (p == end) return false;
    char c = *p >= 'A' && *p <= 'Z' ? (char)(*p - 'A' + 'a') : *p;
    if (c != *n) return false;
  }
  p = SkipBlanks(p, end);
  return p < end && *p == ']';
}

}  // namespace

// Copies the list to out with the entry added where Windows will carry it
// out: at the end of the first [rename] section (Windows reads no other),
// or in a new section at the end when the list has none.
bool CopyListWithEntry(FILE *in, FILE *out, const char *entry) {
  ListReader reader;
  reader.stream = in;
  reader.length = reader.position = 0;
  reader.ended = false;

  bool atLineStart = true;
  bool inFirstRename = false;
  bool seenRename = false;
  bool entryWritten = false;
  char piece[kPieceSize];
  size_t length;
  while ((length = ReadPiece(&reader, piece)) > 0) {
    if (atLineStart && IsSectionHead(piece, length)) {
      if (inFirstRename && !entryWritten) {
        if (!WriteText(out, entry, strlen(entry))) return false;
        entryWritten = true;
      }
      inFirstRename = !seenRename && IsRenameHead(piece, length);
      if (inFirstRename) seenRename = true;
    }
    if (!WriteText(out, piece, length)) return false;
    atLineStart = piece[length - 1] == '\n';
  }
  if (ferror(in)) return false;
  if (entryWritten) return true;

  // The last line may have no line end; the entry never joins it.
  if (!atLineStart && !WriteText(out, "\n", 1)) return false;
  if (!seenRename && !WriteText(out, kSectionHead, strlen(kSectionHead))) return false;
  return WriteText(out, entry, strlen(entry));
}

namespace {

bool ListIsMissing(const char *listPath) {
  if (GetFileAttributesA(listPath) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Writes the new list into the file of our own at staged.
bool WriteNewList(const char *listPath, FILE *out, const char *entry) {
  FILE *in = OpenFileStream(listPath, "rb");
  if (in != NULL) {
    bool ok = CopyListWithEntry(in, out, entry);
    fclose(in);
    return ok;
  }
  // A list that is there but cannot be read is never replaced: the other
  // programs' entries in it would be lost.
  if (!ListIsMissing(listPath)) return false;
  return WriteText(out, kSectionHead, strlen(kSectionHead)) && WriteText(out, entry, strlen(entry));
}

// Puts the staged list in the place of the old one.
bool ReplaceList(const char *staged, const char *listPath) {
  if (MoveFileExA(staged, listPath, MOVEFILE_REPLACE_EXISTING)) return true;
  if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
    DeleteFileA(staged);
    return false;
  }
  // Windows 9x has no replacing rename: the old list goes first, and the
  // new one stays under its own name until it has taken the list's place.
  if (!DeleteFileA(listPath) && !ListIsMissing(listPath)) {
    DeleteFileA(staged);
    return false;
  }
  return MoveFileA(staged, listPath);
}

}  // namespace

bool ScheduleDeleteAtBoot(const char *listPath, const char *directory, const char *name) {
  char entry[2 * MAX_PATH + 8];
  int written = snprintf(entry, sizeof entry, "NUL=%s%s\n", directory, name);
  if (written < 0 || (size_t)written >= sizeof entry) return false;

  char listDir[MAX_PATH];
  if (!DirectoryOf(listPath, listDir, sizeof listDir)) return false;
  char staged[MAX_PATH];
  FILE *out = CreateTempFileIn(listDir, staged, sizeof staged);
  if (out == NULL) return false;

  bool ok = WriteNewList(listPath, out, entry);
  ok = FinishStream(out) && ok;
  if (!ok) {
    DeleteFileA(staged);
    return false;
  }
  return ReplaceList(staged, listPath);
}
