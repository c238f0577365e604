// Removing the install directory: every file and folder below it that can
// be deleted, depth first, then the directory itself.
#include <string.h>

#include "uninstall.h"

namespace {

bool IsDotEntry(const char *name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// True when directory is root or lies inside it (both end with a backslash),
// letters compared without regard to case.
bool Contains(const char *directory, const char *root) {
  size_t length = strlen(directory);
  if (length == 0 || length > strlen(root)) return false;
  char head[MAX_PATH];
  memcpy(head, root, length);
  head[length] = '\0';
  return SameTextIgnoringCase(head, directory);
}

bool IsDriveRoot(const char *directory) {
  size_t length = strlen(directory);
  if (length <= 3) return true;  // "C:\", "\", or nothing usable
  if (directory[0] == '\\' && directory[1] == '\\') {
    // \\server\share\ is the root of a network drive.
    const char *share = strchr(directory + 2, '\\');
    const char *end = share != NULL ? strchr(share + 1, '\\') : NULL;
    return end == NULL || end[1] == '\0';
  }
  return false;
}

bool ContainsEither(const char *directory, const char *a, const char *b) {
  return (a[0] != '\0' && Contains(directory, a)) || (b[0] != '\0' && Contains(directory, b));
}

// Removes one entry that is not a real directory. A link is removed as the
// link: whatever it points to lies outside the tree and stays untouched.
void RemoveEntry(const char *path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveDirectoryA(path);
    } else {
      DeleteFileA(path);
    }
    return;
  }
  SetFileAttributesA(path, 0);
  DeleteFileA(path);
}

bool RemoveDirectoryItself(const char *directory) {
  char path[MAX_PATH];
  size_t length = strlen(directory);
  if (length == 0 || length >= sizeof path) return false;
  memcpy(path, directory, length + 1);
  if (path[length - 1] == '\\') path[length - 1] = '\0';
  return RemoveDirectoryA(path) != FALSE;
}

// Empties the directory and removes it; true when it is gone.
bool RemoveLevel(const char *directory) {
  char pattern[MAX_PATH];
  WIN32_FIND_DATAA entry;
  HANDLE find = INVALID_HANDLE_VALUE;
  if (JoinPath(pattern, sizeof pattern, directory, "*.*")) find = FindFirstFileA(pattern, &entry);

  // After a subdirectory is removed the listing starts again from the top,
  // so files that resisted are tried once more. Once a subdirectory
  // resists, the listing just goes on: starting again would only enter it
  // over and over.
  bool restart = true;
  while (find != INVALID_HANDLE_VALUE) {
    char path[MAX_PATH];
    bool startAgain = false;
    // An entry whose path does not fit is left alone.
    if (!IsDotEntry(entry.cFileName) && JoinPath(path, sizeof path, directory, entry.cFileName)) {
      bool realDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                           !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
      if (!realDirectory) {
        RemoveEntry(path, entry.dwFileAttributes);
      } else if (AddBackslash(path, sizeof path)) {
        if (RemoveLevel(path)) {
          startAgain = restart;
        } else {
          restart = false;
        }
      }
    }
    if (startAgain) {
      FindClose(find);
      find = FindFirstFileA(pattern, &entry);
    } else if (!FindNextFileA(find, &entry)) {
      FindClose(find);
      find = INVALID_HANDLE_VALUE;
    }
  }
  return RemoveDirectoryItself(directory);
}

}  // namespace

bool IsProtectedDirectory(const char *directory) {
  if (IsDriveRoot(directory)) return true;
  if (ContainsEither(directory, WindowsDir, SystemDir)) return true;
  // The same folders may be named by their short forms.
  char shortWindows[MAX_PATH];
  char shortSystem[MAX_PATH];
  DWORD w = GetShortPathNameA(WindowsDir, shortWindows, MAX_PATH);
  DWORD s = GetShortPathNameA(SystemDir, shortSystem, MAX_PATH);
  if (w == 0 || w >= MAX_PATH) shortWindows[0] = '\0';
  if (s == 0 || s >= MAX_PATH) shortSystem[0] = '\0';
  return ContainsEither(directory, shortWindows, shortSystem);
}

void RemoveTree(const char *directory) {
  RemoveLevel(directory);
}
