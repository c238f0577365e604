// Path and file primitives: directory strings, file probes, the block-wise
// copy and the start of another program.
#include <stdlib.h>
#include <string.h>

#include "uninstall.h"

namespace {

const size_t kCopyBlock = 0x7FFF;
const size_t kCommandLineSize = 256;

// Copies src into out when it fits, else leaves out empty.
bool CopyBounded(char *out, size_t size, const char *src) {
  if (size == 0) return false;
  size_t length = strlen(src);
  if (length >= size) {
    out[0] = '\0';
    return false;
  }
  memcpy(out, src, length + 1);
  return true;
}

}  // namespace

bool DirectoryOf(const char *path, char *out, size_t size) {
  const char *last = strrchr(path, '\\');
  if (last == NULL) return CopyBounded(out, size, "");
  size_t length = (size_t)(last - path) + 1;
  if (size == 0 || length >= size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  memcpy(out, path, length);
  out[length] = '\0';
  return true;
}

bool AddBackslash(char *path, size_t size) {
  size_t length = strnlen(path, size);
  if (length >= size) return false;
  if (length > 0 && path[length - 1] == '\\') return true;
  if (length + 1 >= size) return false;
  path[length] = '\\';
  path[length + 1] = '\0';
  return true;
}

bool JoinPath(char *out, size_t size, const char *directory, const char *name) {
  int written = snprintf(out, size, "%s%s", directory, name);
  if (written < 0 || (size_t)written >= size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return true;
}

bool SameTextIgnoringCase(const char *a, const char *b) {
  for (;; a++, b++) {
    char x = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
    char y = *b >= 'A' && *b <= 'Z' ? (char)(*b - 'A' + 'a') : *b;
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

bool FileExists(const char *directory, const char *name) {
  char path[MAX_PATH];
  if (!JoinPath(path, sizeof path, directory, name)) return false;
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool FileWritable(const char *directory, const char *name) {
  char path[MAX_PATH];
  if (!JoinPath(path, sizeof path, directory, name)) return false;
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool FinishStream(FILE *stream) {
  bool flushed = fflush(stream) == 0 && !ferror(stream);
  bool closed = fclose(stream) == 0;
  return flushed && closed;
}

bool CopyStreamInBlocks(FILE *source, FILE *destination) {
  if (fseek(source, 0, SEEK_END) != 0) return false;
  long size = ftell(source);
  if (size < 0 || fseek(source, 0, SEEK_SET) != 0) return false;
  if (size == 0) return true;

  char *buffer = (char *)malloc(kCopyBlock);
  if (buffer == NULL) return false;
  size_t remaining = (size_t)size;
  bool ok = true;
  while (ok && remaining > 0) {
    size_t block = remaining < kCopyBlock ? remaining : kCopyBlock;
    ok = fread(buffer, 1, block, source) == block && fwrite(buffer, 1, block, destination) == block;
    remaining -= block;
  }
  free(buffer);
  return ok;
}

bool CopyFileInBlocks(const char *source, const char *destination) {
  FILE *in = OpenFileStream(source, "rb");
  if (in == NULL) return false;
  FILE *out = OpenFileStream(destination, "wb");
  if (out == NULL) {
    fclose(in);
    return false;
  }
  bool copied = CopyStreamInBlocks(in, out);
  fclose(in);
  return FinishStream(out) && copied;
}

FILE *CreateTempFileIn(const char *directory, char *path, size_t size) {
  // Names are tried in turn; one that exists (a leftover, or somebody
  // else's) is passed over, never opened.
  for (unsigned number = 0; number < 10000; number++) {
    char name[16];
    snprintf(name, sizeof name, "~qfn%04u.tmp", number);
    if (!JoinPath(path, size, directory, name)) return NULL;
    FILE *stream = CreateNewFileStream(path);
    if (stream != NULL) return stream;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (size > 0) path[0] = '\0';
  return NULL;
}

bool BuildCommandLine(char *out, size_t size, const char *directory, const char *program,
                      const char *arguments) {
  if (size > kCommandLineSize) size = kCommandLineSize;
  if (directory == NULL) directory = "";
  // A blank in the program's path would let Windows take the part before it
  // for the program (C:\Program.exe for C:\Program Files\...): quote it.
  bool quote = strchr(directory, ' ') != NULL || strchr(program, ' ') != NULL;
  int written = quote ? snprintf(out, size, "\"%s%s\" %s", directory, program, arguments)
                      : snprintf(out, size, "%s%s %s", directory, program, arguments);
  if (written < 0 || (size_t)written >= size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return true;
}

HANDLE LaunchProgram(const char *directory, const char *program, const char *arguments,
                     const char *currentDirectory) {
  char commandLine[kCommandLineSize];
  // A cut command line could name another program: start nothing then.
  if (!BuildCommandLine(commandLine, sizeof commandLine, directory, program, arguments)) {
    return NULL;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info;
  memset(&info, 0, sizeof info);
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, currentDirectory, &startup,
                      &info)) {
    return NULL;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

void WaitForProgram(HANDLE process, DWORD milliseconds) {
  if (process == NULL) return;
  WaitForSingleObject(process, milliseconds);
  CloseHandle(process);
}
