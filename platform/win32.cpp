// File streams on Windows: the C runtime's own, opened by Windows path.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform.h"

FILE *OpenFileStream(const char *path, const char *mode) {
  return fopen(path, mode);
}

FILE *CreateNewFileStream(const char *path) {
  // _O_EXCL is CREATE_NEW: an existing name, a link included, is refused.
  int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    if (errno == EEXIST) SetLastError(ERROR_FILE_EXISTS);
    return NULL;
  }
  FILE *stream = _fdopen(fd, "wb");
  if (stream == NULL) _close(fd);
  return stream;
}
