// The simulated Windows machine: the Win32 calls of simwin.h and the file
// streams of platform.h, over a folder of the host.
//
// Organised like Wine's kernelbase: one place turns a Windows path into a
// host path (drive letter, separators, "." and "..", letter case), and each
// call then keeps close to its documented contract on top of that; the
// Windows semantics the host lacks (read-only, files in use, short names,
// reparse points) are modelled in small helpers shared by the calls.
#include "platform.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

// Windows error codes the machine reports beyond those simwin.h names.
#define SIM_ERROR_BAD_FORMAT 11
#define SIM_ERROR_NOT_SAME_DEVICE 17
#define SIM_ERROR_INSUFFICIENT_BUFFER 122
#define SIM_ERROR_BAD_EXE_FORMAT 193
#define SIM_ERROR_DIRECTORY 267

// ------------------------------------------------------------------ errors

static thread_local DWORD LastError;

DWORD GetLastError(void) {
  return LastError;
}

void SetLastError(DWORD error) {
  LastError = error;
}

static BOOL FailWith(DWORD error) {
  LastError = error;
  return FALSE;
}

static DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EXDEV:
      return SIM_ERROR_NOT_SAME_DEVICE;
    case ENOEXEC:
      return SIM_ERROR_BAD_EXE_FORMAT;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:  // EACCES, EPERM, EROFS, EISDIR and whatever else refuses
      return ERROR_ACCESS_DENIED;
  }
}

// Appends n bytes of s to buffer (which holds len bytes) and terminates it;
// false, leaving the buffer as it was, when the result would not fit.
static bool AppendBytes(char *buffer, size_t size, size_t *len, const char *s, size_t n) {
  if (*len + n >= size) return false;
  memcpy(buffer + *len, s, n);
  *len += n;
  buffer[*len] = 0;
  return true;
}

static bool AppendText(char *buffer, size_t size, size_t *len, const char *s) {
  return AppendBytes(buffer, size, len, s, strlen(s));
}

// The Win32 string-result contract: the length without the terminator when
// the string fits, else the size needed with it (the buffer untouched).
static DWORD CopyResult(const char *s, size_t len, char *buffer, size_t size) {
  if (!buffer || size <= len) return (DWORD)(len + 1);
  memcpy(buffer, s, len + 1);
  return (DWORD)len;
}

// ------------------------------------------------- fault injection, counts

enum Op {
  OpGetWindowsDirectoryA,
  OpGetSystemDirectoryA,
  OpGetModuleFileNameA,
  OpGetShortPathNameA,
  OpGetFileAttributesA,
  OpSetFileAttributesA,
  OpDeleteFileA,
  OpRemoveDirectoryA,
  OpMoveFileA,
  OpMoveFileExA,
  OpFindFirstFileA,
  OpFindNextFileA,
  OpOpenFileStream,
  OpCreateNewFileStream,
  OpStreamRead,
  OpStreamWrite,
  OpStreamSeek,
  OpStreamClose,
  OpCreateProcessA,
  OpWinExec,
  OpWaitForSingleObject,
  OpCount
};

// The name SIMWIN_FAIL and SIMWIN_CALLS use, and the error an injected
// failure reports unless the item names one: what the call would most
// naturally fail with.
static const struct {
  const char *name;
  DWORD error;
} Ops[OpCount] = {
    {"GetWindowsDirectoryA", ERROR_ACCESS_DENIED},
    {"GetSystemDirectoryA", ERROR_ACCESS_DENIED},
    {"GetModuleFileNameA", ERROR_ACCESS_DENIED},
    {"GetShortPathNameA", ERROR_FILE_NOT_FOUND},
    {"GetFileAttributesA", ERROR_FILE_NOT_FOUND},
    {"SetFileAttributesA", ERROR_ACCESS_DENIED},
    {"DeleteFileA", ERROR_ACCESS_DENIED},
    {"RemoveDirectoryA", ERROR_ACCESS_DENIED},
    {"MoveFileA", ERROR_ACCESS_DENIED},
    {"MoveFileExA", ERROR_ACCESS_DENIED},
    {"FindFirstFileA", ERROR_PATH_NOT_FOUND},
    {"FindNextFileA", ERROR_NO_MORE_FILES},
    {"OpenFileStream", ERROR_ACCESS_DENIED},
    {"CreateNewFileStream", ERROR_ACCESS_DENIED},
    {"StreamRead", ERROR_READ_FAULT},
    {"StreamWrite", ERROR_DISK_FULL},
    {"StreamSeek", ERROR_INVALID_PARAMETER},
    {"StreamClose", ERROR_DISK_FULL},
    {"CreateProcessA", ERROR_FILE_NOT_FOUND},
    {"WinExec", ERROR_FILE_NOT_FOUND},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
};

#define MAX_FAULTS 64

static struct {
  unsigned long calls[OpCount];
  struct {
    int op;
    unsigned long call;
    DWORD error;
  } faults[MAX_FAULTS];
  int faultCount;
  bool exitHookArmed;
} Injection;

static void ParseFault(const char *item, size_t n) {
  char text[128];
  text[0] = 0;
  if (n < sizeof text) {
    memcpy(text, item, n);
    text[n] = 0;
  }
  char *colon = strchr(text, ':');
  int op = -1;
  if (colon) {
    *colon = 0;
    for (int i = 0; i < OpCount; i++)
      if (strcasecmp(text, Ops[i].name) == 0) op = i;
  }
  char *end = NULL;
  unsigned long call = op >= 0 ? strtoul(colon + 1, &end, 10) : 0;
  DWORD error = op >= 0 ? Ops[op].error : 0;
  if (call > 0 && *end == ':') {
    char *errorEnd;
    error = (DWORD)strtoul(end + 1, &errorEnd, 0);
    end = errorEnd == end + 1 ? NULL : errorEnd;
  }
  if (call == 0 || !end || *end || Injection.faultCount == MAX_FAULTS) {
    fprintf(stderr, "simwin: SIMWIN_FAIL item \"%.*s\" is not understood; ignored\n", (int)n, item);
    return;
  }
  Injection.faults[Injection.faultCount].op = op;
  Injection.faults[Injection.faultCount].call = call;
  Injection.faults[Injection.faultCount].error = error;
  Injection.faultCount++;
}

static void ReadFaults(void) {
  Injection.faultCount = 0;
  const char *p = getenv("SIMWIN_FAIL");
  while (p && *p) {
    size_t n = strcspn(p, ",");
    if (n) ParseFault(p, n);
    p += n;
    if (*p == ',') p++;
  }
}

static void WriteCallCounts(void) {
  const char *path = getenv("SIMWIN_CALLS");
  if (!path || !*path) return;
  FILE *file = fopen(path, "w");
  if (!file) return;
  for (int i = 0; i < OpCount; i++)
    if (Injection.calls[i]) fprintf(file, "%s %lu\n", Ops[i].name, Injection.calls[i]);
  fclose(file);
}

static void ArmExitHook(void) {
  if (Injection.exitHookArmed) return;
  Injection.exitHookArmed = true;
  atexit(WriteCallCounts);
}

static void EnsureMachine(void);

// Counts a call of op; true when this call is one SIMWIN_FAIL makes fail,
// with the last error set.
static bool Injected(Op op) {
  EnsureMachine();
  ArmExitHook();
  unsigned long call = ++Injection.calls[op];
  for (int i = 0; i < Injection.faultCount; i++) {
    if (Injection.faults[i].op == op && Injection.faults[i].call == call) {
      LastError = Injection.faults[i].error;
      return true;
    }
  }
  return false;
}

// ----------------------------------------------------------------- handles

enum HandleKind { HandleFree, HandleFind, HandleProcess, HandleThread };

// A listing reads the directory itself (getdents64) into a buffer that
// starts small and grows as the listing goes on: a caller that starts a
// listing over and over and stops after a few entries then pays for a few
// entries, not for the 32 KiB that readdir(3) fetches at once.
#define FIND_FIRST_READ 1024
#define FIND_MOST_READ 32768

struct FindState {
  int fd;        // the directory
  char *buffer;  // entries read and not yet handed out
  size_t size, used, next;
  bool end;
  char pattern[MAX_PATH];  // the last component of the FindFirstFileA pattern
  int dots;                // how many of "." and ".." are still to come
  bool dirKnown;           // dirStat holds the directory's own stat
  struct stat dirStat;
};

struct HandleRecord {
  HandleKind kind;
  FindState *find;
  pid_t pid;
  bool ended;
};

// Handles are small multiples of four, like Windows': index * 4 + 4.
#define MAX_HANDLES 1024
static HandleRecord Handles[MAX_HANDLES];

static HANDLE NewHandle(HandleKind kind) {
  for (size_t i = 0; i < MAX_HANDLES; i++) {
    if (Handles[i].kind == HandleFree) {
      memset(&Handles[i], 0, sizeof Handles[i]);
      Handles[i].kind = kind;
      return (HANDLE)(uintptr_t)((i + 1) * 4);
    }
  }
  return NULL;
}

static HandleRecord *HandleOf(HANDLE handle, HandleKind kind) {
  uintptr_t value = (uintptr_t)handle;
  if (value == 0 || value % 4 != 0 || value / 4 > MAX_HANDLES) return NULL;
  HandleRecord *record = &Handles[value / 4 - 1];
  return record->kind == kind ? record : NULL;
}

static void ReleaseHandle(HandleRecord *record) {
  if (record->kind == HandleFind) {
    close(record->find->fd);
    free(record->find->buffer);
    free(record->find);
  } else if (record->kind == HandleProcess && !record->ended) {
    // Reap the child if it has ended; a running one is let go, not killed.
    int status;
    waitpid(record->pid, &status, WNOHANG);
  }
  memset(record, 0, sizeof *record);
}

// ----------------------------------------------------------------- machine

static struct {
  bool ready;            // set up, from SIMWIN_ROOT or SimSetRoot
  bool valid;            // has a drive C:
  char drive[PATH_MAX];  // realpath of drive_c
  size_t driveLen;
  char driveGiven[PATH_MAX];  // drive_c as SIMWIN_ROOT spells it
  size_t driveGivenLen;
  bool selfKnown;  // the running program's image, which cannot be deleted
  dev_t selfDev;
  ino_t selfIno;
  bool moduleKnown;  // the running program lies inside the machine
  char module[MAX_PATH];
  unsigned answersUsed;  // message box answers taken from SIMWIN_ANSWERS
} Machine;

static char CommandLine[32768];  // the longest a Windows command line can be
static bool CommandLineReady;

static void EnsureMachine(void) {
  if (!Machine.ready) SimSetRoot(getenv("SIMWIN_ROOT"));
}

// The part of a host path below drive_c ("" or "/a/b"), or NULL when the
// path does not lie inside the machine.
static const char *BelowDrive(const char *host) {
  if (strncmp(host, Machine.drive, Machine.driveLen) == 0 &&
      (host[Machine.driveLen] == 0 || host[Machine.driveLen] == '/'))
    return host + Machine.driveLen;
  if (strncmp(host, Machine.driveGiven, Machine.driveGivenLen) == 0 &&
      (host[Machine.driveGivenLen] == 0 || host[Machine.driveGivenLen] == '/'))
    return host + Machine.driveGivenLen;
  return NULL;
}

bool SimWindowsPath(const char *hostPath, char *windowsPath, size_t size) {
  EnsureMachine();
  if (!Machine.valid || !hostPath || !windowsPath) return false;
  const char *rest = BelowDrive(hostPath);
  if (!rest) return false;
  char out[MAX_PATH] = "C:\\";
  size_t len = 3;
  while (*rest) {
    while (*rest == '/') rest++;
    size_t n = strcspn(rest, "/");
    if (n == 0) break;
    if (len > 3 && !AppendBytes(out, sizeof out, &len, "\\", 1)) return false;
    if (!AppendBytes(out, sizeof out, &len, rest, n)) return false;
    rest += n;
  }
  if (len >= size) return false;
  memcpy(windowsPath, out, len + 1);
  return true;
}

bool SimSetRoot(const char *root) {
  for (size_t i = 0; i < MAX_HANDLES; i++)
    if (Handles[i].kind != HandleFree) ReleaseHandle(&Handles[i]);
  memset(Injection.calls, 0, sizeof Injection.calls);
  ReadFaults();
  Machine.ready = true;
  Machine.valid = false;
  Machine.moduleKnown = false;
  Machine.answersUsed = 0;
  Machine.driveLen = Machine.driveGivenLen = 0;
  Machine.drive[0] = Machine.driveGiven[0] = 0;

  struct stat self;
  Machine.selfKnown = stat("/proc/self/exe", &self) == 0;
  Machine.selfDev = Machine.selfKnown ? self.st_dev : 0;
  Machine.selfIno = Machine.selfKnown ? self.st_ino : 0;

  if (!root || !*root) return false;
  char given[PATH_MAX];
  size_t len = 0;
  given[0] = 0;
  if (root[0] != '/') {
    if (!getcwd(given, sizeof given)) return false;
    len = strlen(given);
    if (!AppendText(given, sizeof given, &len, "/")) return false;
  }
  if (!AppendText(given, sizeof given, &len, root) ||
      !AppendText(given, sizeof given, &len, "/drive_c"))
    return false;
  char real[PATH_MAX];
  struct stat drive;
  if (!realpath(given, real) || stat(real, &drive) != 0 || !S_ISDIR(drive.st_mode)) return false;
  memcpy(Machine.drive, real, strlen(real) + 1);
  Machine.driveLen = strlen(real);
  memcpy(Machine.driveGiven, given, len + 1);
  Machine.driveGivenLen = len;
  Machine.valid = true;

  char exe[PATH_MAX];
  if (realpath("/proc/self/exe", exe))
    Machine.moduleKnown = SimWindowsPath(exe, Machine.module, sizeof Machine.module);
  return true;
}

// -------------------------------------------------------- path translation

static bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// The current directory as a Windows path: the host's, when it lies inside
// the machine, else the Windows directory (as Wine starts a program whose
// Unix directory has no drive).
static void CurrentDirectory(char out[MAX_PATH]) {
  char host[PATH_MAX];
  if (getcwd(host, sizeof host) && SimWindowsPath(host, out, MAX_PATH)) return;
  memcpy(out, "C:\\WINDOWS", sizeof "C:\\WINDOWS");
}

// Adds the components of a path to a normalized one ("A\B", no drive, no
// separator at either end): empty and "." components vanish, ".." takes
// one off but never climbs above the root.
static DWORD AddComponents(const char *p, char out[MAX_PATH], size_t *len) {
  while (*p) {
    while (IsSeparator(*p)) p++;
    const char *start = p;
    while (*p && !IsSeparator(*p)) p++;
    size_t n = (size_t)(p - start);
    if (n == 0 || (n == 1 && start[0] == '.')) continue;
    if (n == 2 && start[0] == '.' && start[1] == '.') {
      while (*len > 0 && out[*len - 1] != '\\') (*len)--;
      if (*len > 0) (*len)--;
      out[*len] = 0;
      continue;
    }
    // Room for "C:\" in front and the terminator: the whole within MAX_PATH.
    if (*len + (*len ? 1 : 0) + n > MAX_PATH - 4) return ERROR_FILENAME_EXCED_RANGE;
    if (*len) out[(*len)++] = '\\';
    memcpy(out + *len, start, n);
    *len += n;
    out[*len] = 0;
  }
  return ERROR_SUCCESS;
}

// A Windows path in normalized form; trailing tells whether it ended with
// a separator.
static DWORD NormalizePath(const char *path, char out[MAX_PATH], bool *trailing) {
  if (!path) return ERROR_INVALID_PARAMETER;
  size_t n = strnlen(path, MAX_PATH);
  if (n >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  if (n == 0) return ERROR_PATH_NOT_FOUND;
  const char *rest = path;
  if (isalpha((unsigned char)path[0]) && path[1] == ':') {
    if (toupper((unsigned char)path[0]) != 'C') return ERROR_PATH_NOT_FOUND;
    rest = path + 2;
  }
  size_t len = 0;
  out[0] = 0;
  if (!IsSeparator(*rest)) {
    char current[MAX_PATH];
    CurrentDirectory(current);
    DWORD error = AddComponents(current + 3, out, &len);
    if (error) return error;
  }
  *trailing = IsSeparator(path[n - 1]);
  return AddComponents(rest, out, &len);
}

enum PathState { PathExists, PathLeafMissing, PathParentMissing };

// A Windows path translated to the host.
struct HostPath {
  char path[PATH_MAX];
  PathState state;
  bool isRoot;
  bool trailing;   // the Windows path ended with a separator
  struct stat st;  // lstat of the path, when it exists
};

static DWORD MissingError(const HostPath *hp) {
  return hp->state == PathLeafMissing ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

static bool IsDirectoryFollowingLinks(const char *host, const struct stat *lst) {
  if (S_ISDIR(lst->st_mode)) return true;
  struct stat st;
  return S_ISLNK(lst->st_mode) && stat(host, &st) == 0 && S_ISDIR(st.st_mode);
}

// Gives the last component of path (it starts at path + nameStart, after a
// '/') the letter case of the entry of its directory that matches it without
// regard to ASCII case. Such a match never changes the length.
static bool TakeLetterCaseFromDisk(char *path, size_t nameStart, struct stat *st) {
  path[nameStart - 1] = 0;
  DIR *dir = opendir(path);
  path[nameStart - 1] = '/';
  if (!dir) return false;
  bool found = false;
  struct dirent *entry;
  while (!found && (entry = readdir(dir)) != NULL) {
    if (strcasecmp(entry->d_name, path + nameStart) == 0) {
      memcpy(path + nameStart, entry->d_name, strlen(entry->d_name));
      found = true;
    }
  }
  closedir(dir);
  return found && lstat(path, st) == 0;
}

// The slow path: component by component, each found in exact case or else
// by a scan of its directory. The first component that is not there ends
// the walk; it and those after it keep the case given.
static DWORD MatchLetterCase(HostPath *hp) {
  char *p = hp->path;
  size_t pos = Machine.driveLen;
  while (p[pos] == '/') {
    size_t start = pos + 1, end = start;
    while (p[end] && p[end] != '/') end++;
    bool last = p[end] == 0;
    char saved = p[end];
    p[end] = 0;
    bool found = lstat(p, &hp->st) == 0;
    if (!found && errno != ENOENT) {
      int error = errno;
      p[end] = saved;
      return ErrorFromErrno(error);
    }
    if (!found) found = TakeLetterCaseFromDisk(p, start, &hp->st);
    bool directory = found && !last && IsDirectoryFollowingLinks(p, &hp->st);
    p[end] = saved;
    if (!found) {
      hp->state = last ? PathLeafMissing : PathParentMissing;
      return ERROR_SUCCESS;
    }
    if (!last && !directory) {
      hp->state = PathParentMissing;
      return ERROR_SUCCESS;
    }
    pos = end;
  }
  hp->state = PathExists;
  return ERROR_SUCCESS;
}

// The one place where a Windows path becomes a host path. Syntax and length
// problems are returned as an error. TranslatePath spells the host path as
// the Windows path is, without a look at the disk; ResolvePath then finds it
// on disk, and whether it exists is hp->state.
static DWORD TranslatePath(const char *path, HostPath *hp) {
  EnsureMachine();
  if (!Machine.valid) return ERROR_PATH_NOT_FOUND;
  char normal[MAX_PATH];
  bool trailing = false;
  DWORD error = NormalizePath(path, normal, &trailing);
  if (error) return error;

  size_t len = 0;
  hp->path[0] = 0;
  if (!AppendBytes(hp->path, sizeof hp->path, &len, Machine.drive, Machine.driveLen))
    return ERROR_FILENAME_EXCED_RANGE;
  if (normal[0] && (!AppendBytes(hp->path, sizeof hp->path, &len, "/", 1) ||
                    !AppendText(hp->path, sizeof hp->path, &len, normal)))
    return ERROR_FILENAME_EXCED_RANGE;
  for (size_t i = Machine.driveLen; i < len; i++)
    if (hp->path[i] == '\\') hp->path[i] = '/';
  hp->isRoot = normal[0] == 0;
  hp->trailing = trailing;
  return ERROR_SUCCESS;
}

static DWORD ResolvePath(const char *path, HostPath *hp) {
  DWORD error = TranslatePath(path, hp);
  if (error) return error;
  bool trailing = hp->trailing;
  // Fast path: the path exactly as given.
  if (lstat(hp->path, &hp->st) == 0) {
    hp->state = PathExists;
  } else if (errno == ENOENT || errno == ENOTDIR) {
    error = MatchLetterCase(hp);
    if (error) return error;
  } else {
    return ErrorFromErrno(errno);
  }
  // A trailing separator asks for a directory.
  if (hp->state == PathExists && trailing && !IsDirectoryFollowingLinks(hp->path, &hp->st))
    hp->state = PathParentMissing;
  return ERROR_SUCCESS;
}

static DWORD ResolveExisting(const char *path, HostPath *hp) {
  DWORD error = ResolvePath(path, hp);
  if (!error && hp->state != PathExists) error = MissingError(hp);
  return error;
}

bool SimHostPath(const char *windowsPath, char *hostPath, size_t size) {
  HostPath hp;
  if (!hostPath || ResolvePath(windowsPath, &hp) != ERROR_SUCCESS) return false;
  size_t len = strlen(hp.path);
  if (len >= size) return false;
  memcpy(hostPath, hp.path, len + 1);
  return true;
}

// ------------------------------------------------ Windows file semantics

// Attribute bits of an entry (dirfd/name as for fstatat, lst its lstat).
// A link is a reparse point and is never followed for its own bits; only
// the kind of its target shows.
static DWORD AttributesOf(int dirfd, const char *name, const struct stat *lst) {
  if (S_ISLNK(lst->st_mode)) {
    struct stat target;
    bool directory = fstatat(dirfd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
    return FILE_ATTRIBUTE_REPARSE_POINT |
           (directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  }
  DWORD attributes = S_ISDIR(lst->st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(lst->st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

static bool IsReadOnly(const struct stat *st) {
  return !(st->st_mode & S_IWUSR);
}

static bool IsOwnImage(const struct stat *st) {
  return Machine.selfKnown && st->st_dev == Machine.selfDev && st->st_ino == Machine.selfIno;
}

// Another process holds the file open: it keeps an flock(2) on it, shared
// or exclusive.
static bool HeldByAnotherProcess(const char *host) {
  int fd = open(host, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also lets go of the lock the probe may have taken
  return held;
}

// Why a file (not a link, not a directory) may not be deleted or replaced:
// Windows refuses a read-only file and the running program's image even to
// an administrator, and a file another process has open.
static DWORD RefuseRemoval(const char *host, const struct stat *st) {
  if (IsReadOnly(st) || IsOwnImage(st)) return ERROR_ACCESS_DENIED;
  if (S_ISREG(st->st_mode) && HeldByAnotherProcess(host)) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

static bool IsLinkToDirectory(const char *host, const struct stat *lst) {
  struct stat target;
  return S_ISLNK(lst->st_mode) && stat(host, &target) == 0 && S_ISDIR(target.st_mode);
}

static bool IsCurrentDirectory(const struct stat *st) {
  struct stat current;
  return stat(".", &current) == 0 && current.st_dev == st->st_dev && current.st_ino == st->st_ino;
}

// ------------------------------------------------------ version, folders

DWORD GetVersion(void) {
  return 0xC0000A04;
}  // Windows 98: 4.10, high bit set

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  if (Injected(OpGetWindowsDirectoryA)) return 0;
  static const char windows[] = "C:\\WINDOWS";
  return CopyResult(windows, sizeof windows - 1, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (Injected(OpGetSystemDirectoryA)) return 0;
  static const char system[] = "C:\\WINDOWS\\SYSTEM";
  return CopyResult(system, sizeof system - 1, buffer, size);
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  EnsureMachine();
  char current[MAX_PATH];
  CurrentDirectory(current);
  return CopyResult(current, strlen(current), buffer, size);
}

DWORD GetModuleFileNameA(HINSTANCE module, LPSTR buffer, DWORD size) {
  (void)module;  // the program is the machine's only module
  if (Injected(OpGetModuleFileNameA)) return 0;
  if (!Machine.moduleKnown) return FailWith(ERROR_FILE_NOT_FOUND);
  size_t len = strlen(Machine.module);
  if (!buffer || size == 0) return FailWith(SIM_ERROR_INSUFFICIENT_BUFFER);
  if (len >= size) {
    // The documented result for a small buffer: cut, terminated, and told.
    memcpy(buffer, Machine.module, size - 1);
    buffer[size - 1] = 0;
    LastError = SIM_ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  memcpy(buffer, Machine.module, len + 1);
  return (DWORD)len;
}

// ------------------------------------------------------------- short names

static bool IsShortNameChar(unsigned char c) {
  return c >= 128 || isalnum(c) || (c && strchr("!#$%&'()-@^_`{}~", c));
}

// A valid 8.3 name: 1-8 name characters, optionally a dot and 1-3 more.
static bool IsShortName(const char *name) {
  size_t base = 0;
  while (IsShortNameChar((unsigned char)name[base])) base++;
  if (base < 1 || base > 8) return false;
  if (name[base] == 0) return true;
  if (name[base] != '.') return false;
  size_t ext = 0;
  while (IsShortNameChar((unsigned char)name[base + 1 + ext])) ext++;
  return ext >= 1 && ext <= 3 && name[base + 1 + ext] == 0;
}

// The stem (up to six characters) and extension (up to three) a long name
// contributes to its short name: valid characters only, uppercased.
static void ShortNameParts(const char *name, char stem[7], char ext[4]) {
  while (*name == '.') name++;  // a leading dot does not start an extension
  const char *dot = strrchr(name, '.');
  const char *baseEnd = dot ? dot : name + strlen(name);
  size_t n = 0;
  for (const char *p = name; p < baseEnd && n < 6; p++)
    if (IsShortNameChar((unsigned char)*p)) stem[n++] = (char)toupper((unsigned char)*p);
  stem[n] = 0;
  n = 0;
  for (const char *p = dot ? dot + 1 : baseEnd; *p && n < 3; p++)
    if (IsShortNameChar((unsigned char)*p)) ext[n++] = (char)toupper((unsigned char)*p);
  ext[n] = 0;
}

// STEM~N.EXT, the stem cut so that the name part keeps within eight.
static void FormatShortName(const char *stem, unsigned number, const char *ext, char out[13]) {
  char digits[12];
  size_t nd = 0;
  do {
    digits[nd++] = (char)('0' + number % 10);
    number /= 10;
  } while (number && nd < sizeof digits);
  size_t keep = strlen(stem);
  if (keep + 1 + nd > 8) keep = nd < 7 ? 7 - nd : 0;
  size_t len = 0;
  memcpy(out, stem, keep);
  len = keep;
  out[len++] = '~';
  while (nd > 0 && len < 9) out[len++] = digits[--nd];
  if (ext[0]) {
    out[len++] = '.';
    size_t ne = strlen(ext);
    memcpy(out + len, ext, ne);
    len += ne;
  }
  out[len] = 0;
}

#define MAX_SHORT_TAIL 9999

// The 8.3 name of the entry `name` of the host directory `dir`. A long name
// gets STEM~N.EXT, N being its rank, by name, among the siblings with the
// same stem and extension, skipping numbers an existing 8.3 sibling holds.
static void ShortNameIn(const char *dir, const char *name, char out[13]) {
  if (IsShortName(name)) {
    memcpy(out, name, strlen(name) + 1);
    return;
  }
  char stem[7], ext[4];
  ShortNameParts(name, stem, ext);
  static bool taken[MAX_SHORT_TAIL + 1];
  memset(taken, 0, sizeof taken);
  unsigned rank = 1;
  DIR *d = opendir(dir);
  struct dirent *entry;
  while (d && (entry = readdir(d)) != NULL) {
    const char *sibling = entry->d_name;
    if (strcmp(sibling, ".") == 0 || strcmp(sibling, "..") == 0) continue;
    if (IsShortName(sibling)) {
      const char *tilde = strrchr(sibling, '~');
      char *end;
      unsigned long number = tilde ? strtoul(tilde + 1, &end, 10) : 0;
      char candidate[13];
      if (number == 0 || number > MAX_SHORT_TAIL) continue;
      FormatShortName(stem, (unsigned)number, ext, candidate);
      if (strcasecmp(candidate, sibling) == 0) taken[number] = true;
      continue;
    }
    char siblingStem[7], siblingExt[4];
    ShortNameParts(sibling, siblingStem, siblingExt);
    if (strcmp(siblingStem, stem) == 0 && strcmp(siblingExt, ext) == 0 && strcmp(sibling, name) < 0)
      rank++;
  }
  if (d) closedir(d);
  unsigned number = 0;
  while (rank > 0) {
    number++;
    if (number > MAX_SHORT_TAIL || !taken[number]) rank--;
  }
  FormatShortName(stem, number, ext, out);
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR buffer, DWORD size) {
  if (Injected(OpGetShortPathNameA)) return 0;
  HostPath hp;
  DWORD error = ResolvePath(longPath, &hp);
  if (error) return FailWith(error);
  if (hp.state != PathExists) return FailWith(ERROR_FILE_NOT_FOUND);

  char out[MAX_PATH] = "C:\\";
  size_t len = 3;
  char *p = hp.path;
  size_t pos = Machine.driveLen;
  while (p[pos] == '/') {
    size_t start = pos + 1, end = start;
    while (p[end] && p[end] != '/') end++;
    char saved = p[end];
    p[end] = 0;
    p[pos] = 0;  // p is now the parent directory, p + start the name
    char shortName[13];
    ShortNameIn(p, p + start, shortName);
    p[pos] = '/';
    p[end] = saved;
    if (len > 3 && !AppendBytes(out, sizeof out, &len, "\\", 1))
      return FailWith(ERROR_FILENAME_EXCED_RANGE);
    if (!AppendText(out, sizeof out, &len, shortName)) return FailWith(ERROR_FILENAME_EXCED_RANGE);
    pos = end;
  }
  if (hp.trailing && !hp.isRoot && !AppendBytes(out, sizeof out, &len, "\\", 1))
    return FailWith(ERROR_FILENAME_EXCED_RANGE);
  return CopyResult(out, len, buffer, size);
}

// -------------------------------------------------------------- attributes

DWORD GetFileAttributesA(LPCSTR path) {
  if (Injected(OpGetFileAttributesA)) return INVALID_FILE_ATTRIBUTES;
  HostPath hp;
  DWORD error = ResolveExisting(path, &hp);
  if (error) {
    LastError = error;
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(AT_FDCWD, hp.path, &hp.st);
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  if (Injected(OpSetFileAttributesA)) return FALSE;
  HostPath hp;
  DWORD error = ResolveExisting(path, &hp);
  if (error) return FailWith(error);
  // A link carries no attributes of its own here, and its target is not ours
  // to change.
  if (S_ISLNK(hp.st.st_mode)) return TRUE;
  mode_t mode = hp.st.st_mode & 07777;
  mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? mode & ~S_IWUSR : mode | S_IWUSR;
  if (wanted != mode && chmod(hp.path, wanted) != 0) return FailWith(ErrorFromErrno(errno));
  return TRUE;
}

// --------------------------------------------------------------- deletion

// The common case of a deletion, in as few calls as the checks allow: a
// plain file named in its exact letter case. Returns false when the path
// is anything else, for the general path to decide.
static bool DeletePlainFile(LPCSTR path, BOOL *result) {
  HostPath hp;
  if (TranslatePath(path, &hp) != ERROR_SUCCESS || hp.trailing || hp.isRoot) return false;
  int fd = open(hp.path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  if (IsReadOnly(&st) || IsOwnImage(&st)) {
    error = ERROR_ACCESS_DENIED;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    error = ERROR_SHARING_VIOLATION;
  } else if (unlink(hp.path) != 0) {
    error = ErrorFromErrno(errno);
  }
  close(fd);  // also lets go of the lock the probe may have taken
  *result = error ? FailWith(error) : TRUE;
  return true;
}

BOOL DeleteFileA(LPCSTR path) {
  if (Injected(OpDeleteFileA)) return FALSE;
  BOOL result;
  if (DeletePlainFile(path, &result)) return result;
  HostPath hp;
  DWORD error = ResolveExisting(path, &hp);
  if (error) return FailWith(error);
  if (S_ISDIR(hp.st.st_mode) || IsLinkToDirectory(hp.path, &hp.st))
    return FailWith(ERROR_ACCESS_DENIED);
  // A link to a file goes as the link; its target stays as it is.
  if (!S_ISLNK(hp.st.st_mode)) {
    error = RefuseRemoval(hp.path, &hp.st);
    if (error) return FailWith(error);
  }
  if (unlink(hp.path) != 0) return FailWith(ErrorFromErrno(errno));
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
  if (Injected(OpRemoveDirectoryA)) return FALSE;
  HostPath hp;
  DWORD error = ResolveExisting(path, &hp);
  if (error) return FailWith(error);
  if (hp.isRoot) return FailWith(ERROR_ACCESS_DENIED);
  // A link to a directory goes as the link, never the directory it shows.
  if (IsLinkToDirectory(hp.path, &hp.st)) {
    if (unlink(hp.path) != 0) return FailWith(ErrorFromErrno(errno));
    return TRUE;
  }
  if (!S_ISDIR(hp.st.st_mode)) return FailWith(SIM_ERROR_DIRECTORY);
  // Windows keeps the process's current directory open, so it cannot go.
  if (IsCurrentDirectory(&hp.st)) return FailWith(ERROR_SHARING_VIOLATION);
  if (rmdir(hp.path) != 0)
    return FailWith(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                          : ErrorFromErrno(errno));
  return TRUE;
}

// --------------------------------------------------------------- renaming

static BOOL MoveFileOnce(LPCSTR from, LPCSTR to, DWORD flags) {
  if (!to) return FailWith(ERROR_INVALID_PARAMETER);
  HostPath source, target;
  DWORD error = ResolveExisting(from, &source);
  if (error) return FailWith(error);
  if (source.isRoot) return FailWith(ERROR_ACCESS_DENIED);
  if (S_ISREG(source.st.st_mode) && HeldByAnotherProcess(source.path))
    return FailWith(ERROR_SHARING_VIOLATION);
  error = ResolvePath(to, &target);
  if (error) return FailWith(error);
  if (target.state == PathParentMissing) return FailWith(ERROR_PATH_NOT_FOUND);
  if (target.state == PathExists) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return FailWith(ERROR_ALREADY_EXISTS);
    if (target.isRoot || S_ISDIR(target.st.st_mode) || S_ISDIR(source.st.st_mode) ||
        IsLinkToDirectory(target.path, &target.st))
      return FailWith(ERROR_ACCESS_DENIED);
    if (!S_ISLNK(target.st.st_mode)) {
      error = RefuseRemoval(target.path, &target.st);
      if (error) return FailWith(error);
    }
  }
  // rename(2) replaces the target atomically: readers see the old or the new.
  if (rename(source.path, target.path) != 0) return FailWith(ErrorFromErrno(errno));
  return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
  if (Injected(OpMoveFileA)) return FALSE;
  return MoveFileOnce(from, to, 0);
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (Injected(OpMoveFileExA)) return FALSE;
  // Windows 98 keeps no list of pending renames; wininit.ini is the way.
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return FailWith(ERROR_CALL_NOT_IMPLEMENTED);
  return MoveFileOnce(from, to, flags);
}

// ----------------------------------------------------------------- listing

// A pattern of the find calls: * and ? wildcards, ASCII case ignored; "*.*"
// is every name, as on Windows.
static bool MatchesPattern(const char *pattern, const char *name) {
  if (strcmp(pattern, "*") == 0 || strcmp(pattern, "*.*") == 0) return true;
  const char *p = pattern, *s = name, *star = NULL, *resume = NULL;
  while (*s) {
    if (*p == '*') {
      star = ++p;
      resume = s;
    } else if (*p && (*p == '?' || tolower((unsigned char)*p) == tolower((unsigned char)*s))) {
      p++;
      s++;
    } else if (star) {
      p = star;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') p++;
  return *p == 0;
}

static FILETIME FileTimeOf(const struct timespec *t) {
  // 100-nanosecond intervals since 1601-01-01.
  int64_t seconds = (int64_t)t->tv_sec + 11644473600LL;
  uint64_t ticks = seconds < 0 ? 0 : (uint64_t)seconds * 10000000ULL + (uint64_t)t->tv_nsec / 100;
  FILETIME result;
  result.dwLowDateTime = (DWORD)ticks;
  result.dwHighDateTime = (DWORD)(ticks >> 32);
  return result;
}

static void FillFindData(WIN32_FIND_DATAA *data, const char *name, DWORD attributes,
                         const struct stat *st) {
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributes;
  if (st) {
    data->ftCreationTime = FileTimeOf(&st->st_ctim);
    data->ftLastAccessTime = FileTimeOf(&st->st_atim);
    data->ftLastWriteTime = FileTimeOf(&st->st_mtim);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      data->nFileSizeHigh = (DWORD)((uint64_t)st->st_size >> 32);
      data->nFileSizeLow = (DWORD)st->st_size;
    }
  }
  memcpy(data->cFileName, name, strlen(name) + 1);  // callers keep names below MAX_PATH
}

static struct dirent64 *ReadEntry(FindState *find) {
  if (find->next >= find->used) {
    if (find->end) return NULL;
    size_t size = find->size ? find->size * 2 : FIND_FIRST_READ;
    if (size > FIND_MOST_READ) size = FIND_MOST_READ;
    if (size != find->size) {
      char *bigger = (char *)realloc(find->buffer, size);
      if (bigger) find->buffer = bigger, find->size = size;
    }
    ssize_t n = getdents64(find->fd, find->buffer, find->size);
    if (n <= 0) {
      find->end = true;
      return NULL;
    }
    find->used = (size_t)n;
    find->next = 0;
  }
  struct dirent64 *entry = (struct dirent64 *)(find->buffer + find->next);
  find->next += entry->d_reclen;
  return entry;
}

// The next entry of a listing: "." and ".." first where they belong, then
// the directory's entries, one entry at a time.
static bool NextEntry(FindState *find, WIN32_FIND_DATAA *data) {
  while (find->dots > 0) {
    const char *name = find->dots == 2 ? "." : "..";
    find->dots--;
    if (MatchesPattern(find->pattern, name)) {
      // One look at the directory serves both of its dot entries.
      if (!find->dirKnown) find->dirKnown = fstat(find->fd, &find->dirStat) == 0;
      FillFindData(data, name, FILE_ATTRIBUTE_DIRECTORY, find->dirKnown ? &find->dirStat : NULL);
      return true;
    }
  }
  struct dirent64 *entry;
  while ((entry = ReadEntry(find)) != NULL) {
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // A name Windows cannot hold, or one with a backslash that a caller
    // joining it to its directory would take for a path elsewhere.
    if (strlen(name) >= MAX_PATH || strchr(name, '\\')) continue;
    if (!MatchesPattern(find->pattern, name)) continue;
    struct stat st;
    if (fstatat(find->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
    FillFindData(data, name, AttributesOf(find->fd, name, &st), &st);
    return true;
  }
  return false;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data) {
  if (Injected(OpFindFirstFileA)) return INVALID_HANDLE_VALUE;
  if (!pattern || !data) {
    LastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  size_t n = strnlen(pattern, MAX_PATH);
  if (n >= MAX_PATH) {
    LastError = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  // The directory part (up to the last separator, or "C:"), and the name.
  size_t cut = n;
  while (cut > 0 && !IsSeparator(pattern[cut - 1])) cut--;
  if (cut == 0 && n >= 2 && pattern[1] == ':') cut = 2;
  if (cut == n) {
    LastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  char directory[MAX_PATH] = ".";
  if (cut > 0) {
    memcpy(directory, pattern, cut);
    directory[cut] = 0;
  }
  HostPath hp;
  DWORD error = ResolveExisting(directory, &hp);
  if (!error && !IsDirectoryFollowingLinks(hp.path, &hp.st)) error = ERROR_PATH_NOT_FOUND;
  if (error) {
    LastError = error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
    return INVALID_HANDLE_VALUE;
  }

  int dir = open(hp.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    LastError = ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  FindState *find = (FindState *)calloc(1, sizeof *find);
  HANDLE handle = find ? NewHandle(HandleFind) : NULL;
  if (!handle) {
    free(find);
    close(dir);
    LastError = ERROR_NOT_ENOUGH_MEMORY;
    return INVALID_HANDLE_VALUE;
  }
  find->fd = dir;
  memcpy(find->pattern, pattern + cut, n - cut + 1);
  find->dots = hp.isRoot ? 0 : 2;  // a drive root has no "." and ".."
  HandleRecord *record = HandleOf(handle, HandleFind);
  record->find = find;
  if (!NextEntry(find, data)) {
    ReleaseHandle(record);
    LastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA *data) {
  if (Injected(OpFindNextFileA)) return FALSE;
  HandleRecord *record = HandleOf(handle, HandleFind);
  if (!record) return FailWith(ERROR_INVALID_HANDLE);
  if (!data) return FailWith(ERROR_INVALID_PARAMETER);
  if (!NextEntry(record->find, data)) return FailWith(ERROR_NO_MORE_FILES);
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  HandleRecord *record = HandleOf(handle, HandleFind);
  if (!record) return FailWith(ERROR_INVALID_HANDLE);
  ReleaseHandle(record);
  return TRUE;
}

// ------------------------------------------------------------ file streams

struct StreamCookie {
  int fd;
  bool writeFailed;  // some data did not reach the file: the close says so
};

static ssize_t StreamRead(void *cookie, char *buffer, size_t size) {
  StreamCookie *stream = (StreamCookie *)cookie;
  if (Injected(OpStreamRead)) return -1;
  for (;;) {
    ssize_t n = read(stream->fd, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      LastError = ErrorFromErrno(errno);
      return -1;
    }
  }
}

static size_t WriteAll(int fd, const char *buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += (size_t)n;
  }
  return done;
}

// Returns how much was written; anything short of size is a failure, which
// glibc records in the stream's error flag. (A write function of fopencookie
// must not return a negative count.)
static ssize_t StreamWrite(void *cookie, const char *buffer, size_t size) {
  StreamCookie *stream = (StreamCookie *)cookie;
  size_t done;
  if (Injected(OpStreamWrite)) {
    // A disk that fills up takes part of the data before it refuses.
    done = LastError == ERROR_DISK_FULL ? WriteAll(stream->fd, buffer, size / 2) : 0;
  } else {
    done = WriteAll(stream->fd, buffer, size);
    if (done < size) LastError = ErrorFromErrno(errno);
  }
  if (done < size) stream->writeFailed = true;
  return (ssize_t)done;
}

static int StreamSeek(void *cookie, off64_t *offset, int whence) {
  StreamCookie *stream = (StreamCookie *)cookie;
  if (Injected(OpStreamSeek)) return -1;
  off_t position = lseek(stream->fd, (off_t)*offset, whence);
  if (position < 0) {
    LastError = ErrorFromErrno(errno);
    return -1;
  }
  *offset = position;
  return 0;
}

static int StreamClose(void *cookie) {
  StreamCookie *stream = (StreamCookie *)cookie;
  int fd = stream->fd;
  bool failed = stream->writeFailed;
  free(stream);
  // The descriptor goes in any case; an injected failure only reports.
  bool injected = Injected(OpStreamClose);
  if (close(fd) != 0 && !injected) {
    LastError = ErrorFromErrno(errno);
    failed = true;
  }
  return failed || injected ? -1 : 0;
}

static FILE *StreamOn(int fd, bool writing) {
  static const cookie_io_functions_t functions = {StreamRead, StreamWrite, StreamSeek, StreamClose};
  StreamCookie *stream = (StreamCookie *)calloc(1, sizeof *stream);
  FILE *file = stream ? fopencookie(stream, writing ? "w" : "r", functions) : NULL;
  if (!file) {
    free(stream);
    close(fd);
    LastError = ERROR_NOT_ENOUGH_MEMORY;
    return NULL;
  }
  stream->fd = fd;
  return file;
}

static int OpenForReading(const HostPath *hp) {
  if (hp->state != PathExists) {
    LastError = MissingError(hp);
    return -1;
  }
  int fd = open(hp->path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    LastError = ERROR_ACCESS_DENIED;
    return -1;
  }
  if (fd < 0) LastError = ErrorFromErrno(errno);
  return fd;
}

// Opens (creating it if need be) without truncating, checks what Windows
// would refuse, and only then truncates.
static int OpenForWriting(const HostPath *hp) {
  if (hp->state == PathParentMissing) {
    LastError = ERROR_PATH_NOT_FOUND;
    return -1;
  }
  int fd = open(hp->path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    LastError = ErrorFromErrno(errno);
    return -1;
  }
  struct stat st;
  DWORD error = ERROR_SUCCESS;
  if (fstat(fd, &st) != 0)
    error = ErrorFromErrno(errno);
  else if (!S_ISREG(st.st_mode) || IsReadOnly(&st))
    error = ERROR_ACCESS_DENIED;
  else if (IsOwnImage(&st))
    error = ERROR_SHARING_VIOLATION;  // a running image cannot be written
  else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    error = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
  else
    flock(fd, LOCK_UN);
  if (!error && ftruncate(fd, 0) != 0) error = ErrorFromErrno(errno);
  if (error) {
    close(fd);
    LastError = error;
    return -1;
  }
  return fd;
}

FILE *OpenFileStream(const char *path, const char *mode) {
  if (Injected(OpOpenFileStream)) return NULL;
  bool writing;
  if (mode && (strcmp(mode, "rb") == 0 || strcmp(mode, "r") == 0)) {
    writing = false;
  } else if (mode && (strcmp(mode, "wb") == 0 || strcmp(mode, "w") == 0)) {
    writing = true;
  } else {
    LastError = ERROR_INVALID_PARAMETER;
    return NULL;
  }
  HostPath hp;
  DWORD error = ResolvePath(path, &hp);
  if (error) {
    LastError = error;
    return NULL;
  }
  int fd = writing ? OpenForWriting(&hp) : OpenForReading(&hp);
  return fd < 0 ? NULL : StreamOn(fd, writing);
}

FILE *CreateNewFileStream(const char *path) {
  if (Injected(OpCreateNewFileStream)) return NULL;
  HostPath hp;
  DWORD error = ResolvePath(path, &hp);
  if (!error && hp.state == PathParentMissing) error = ERROR_PATH_NOT_FOUND;
  if (!error && hp.state == PathExists) error = ERROR_FILE_EXISTS;
  if (error) {
    LastError = error;
    return NULL;
  }
  int fd = open(hp.path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    LastError = errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(errno);
    return NULL;
  }
  return StreamOn(fd, true);
}

// --------------------------------------------------------------- processes

// The program named first on a command line: in double quotes, or up to
// the first blank or tab. *rest points after it.
static DWORD ProgramOf(const char *commandLine, char program[MAX_PATH], const char **rest) {
  const char *p = commandLine;
  while (*p == ' ' || *p == '\t') p++;
  const char *start, *end;
  if (*p == '"') {
    start = ++p;
    while (*p && *p != '"') p++;
    end = p;
    if (*p == '"') p++;
  } else {
    start = p;
    while (*p && *p != ' ' && *p != '\t') p++;
    end = p;
  }
  size_t n = (size_t)(end - start);
  if (n == 0) return ERROR_FILE_NOT_FOUND;
  if (n >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  memcpy(program, start, n);
  program[n] = 0;
  *rest = p;
  return ERROR_SUCCESS;
}

// argv for the program: argv[0] and the arguments split by the rules of
// CommandLineToArgvW. One allocation; free(argv) releases it all.
static char **ArgumentVector(const char *argv0, const char *rest) {
  size_t n = strlen(rest), n0 = strlen(argv0);
  size_t slots = n + 2;  // at most one argument for every two characters, plus argv[0] and NULL
  char **argv = (char **)malloc(slots * sizeof(char *) + n0 + 1 + 2 * n + 1);
  if (!argv) return NULL;
  char *d = (char *)(argv + slots);
  memcpy(d, argv0, n0 + 1);
  argv[0] = d;
  d += n0 + 1;
  size_t argc = 1;
  const char *p = rest;
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) break;
    argv[argc++] = d;
    bool quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '\\') {
        size_t k = 0;
        while (p[k] == '\\') k++;
        if (p[k] == '"') {
          // 2n backslashes and a quote: n backslashes, and the quote toggles;
          // 2n+1 backslashes and a quote: n backslashes and a literal quote.
          for (size_t i = 0; i < k / 2; i++) *d++ = '\\';
          if (k % 2)
            *d++ = '"';
          else
            quoted = !quoted;
          p += k + 1;
        } else {
          for (size_t i = 0; i < k; i++) *d++ = '\\';
          p += k;
        }
      } else if (*p == '"') {
        quoted = !quoted;
        p++;
      } else {
        *d++ = *p++;
      }
    }
    *d++ = 0;
  }
  argv[argc] = NULL;
  return argv;
}

static bool HasPrefix(const char *s, const char *prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// The child's environment: ours, with its command line in SIMWIN_CMDLINE.
// The fault injection and call counts are this process's own and stay here.
static char **ChildEnvironment(const char *commandLine) {
  size_t count = 0;
  while (environ[count]) count++;
  static const char name[] = "SIMWIN_CMDLINE=";
  size_t n = strlen(commandLine);
  char **envp = (char **)malloc((count + 2) * sizeof(char *) + sizeof name + n);
  if (!envp) return NULL;
  size_t used = 0;
  for (size_t i = 0; i < count; i++) {
    if (HasPrefix(environ[i], name) || HasPrefix(environ[i], "SIMWIN_FAIL=") ||
        HasPrefix(environ[i], "SIMWIN_CALLS="))
      continue;
    envp[used++] = environ[i];
  }
  char *entry = (char *)(envp + count + 2);
  memcpy(entry, name, sizeof name - 1);
  memcpy(entry + sizeof name - 1, commandLine, n + 1);
  envp[used++] = entry;
  envp[used] = NULL;
  return envp;
}

// Starts the program named by application, or first on the command line,
// in the machine; nothing is started when it is not an executable file.
static DWORD StartProgram(const char *application, const char *commandLine,
                          const char *currentDirectory, pid_t *pid) {
  if (!commandLine) commandLine = application;
  if (!commandLine) return ERROR_INVALID_PARAMETER;
  char program[MAX_PATH];
  const char *rest = commandLine;
  DWORD error = ProgramOf(commandLine, program, &rest);
  if (error && !application) return error;
  HostPath exe;
  error = ResolveExisting(application ? application : program, &exe);
  if (error) return error;
  struct stat st;
  if (stat(exe.path, &st) != 0) return ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode) || !(st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)))
    return ERROR_ACCESS_DENIED;
  HostPath directory;
  if (currentDirectory) {
    error = ResolveExisting(currentDirectory, &directory);
    if (error || !IsDirectoryFollowingLinks(directory.path, &directory.st))
      return SIM_ERROR_DIRECTORY;
  }

  char **argv = ArgumentVector(exe.path, rest);
  char **envp = ChildEnvironment(commandLine);
  posix_spawn_file_actions_t actions;
  int result = ENOMEM;
  if (argv && envp && posix_spawn_file_actions_init(&actions) == 0) {
    result = currentDirectory ? posix_spawn_file_actions_addchdir_np(&actions, directory.path) : 0;
    if (result == 0) result = posix_spawn(pid, exe.path, &actions, NULL, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
  }
  free(argv);
  free(envp);
  return result ? ErrorFromErrno(result) : ERROR_SUCCESS;
}

BOOL CreateProcessA(LPCSTR application, LPSTR cmdLine, void *processAttributes,
                    void *threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    void *environment, LPCSTR currentDirectory, STARTUPINFOA *startup,
                    PROCESS_INFORMATION *info) {
  (void)processAttributes, (void)threadAttributes, (void)inheritHandles, (void)creationFlags;
  (void)environment, (void)startup;
  if (Injected(OpCreateProcessA)) return FALSE;
  if (!info) return FailWith(ERROR_INVALID_PARAMETER);
  HANDLE process = NewHandle(HandleProcess);
  HANDLE thread = process ? NewHandle(HandleThread) : NULL;
  pid_t pid = 0;
  DWORD error =
      thread ? StartProgram(application, cmdLine, currentDirectory, &pid) : ERROR_NOT_ENOUGH_MEMORY;
  if (error) {
    if (process) ReleaseHandle(HandleOf(process, HandleProcess));
    if (thread) ReleaseHandle(HandleOf(thread, HandleThread));
    return FailWith(error);
  }
  HandleOf(process, HandleProcess)->pid = pid;
  HandleOf(thread, HandleThread)->pid = pid;
  info->hProcess = process;
  info->hThread = thread;
  info->dwProcessId = (DWORD)pid;
  info->dwThreadId = (DWORD)pid;
  return TRUE;
}

UINT WinExec(LPCSTR cmdLine, UINT show) {
  (void)show;
  DWORD error = ERROR_SUCCESS;
  pid_t pid;
  if (Injected(OpWinExec))
    error = LastError;
  else
    error = StartProgram(NULL, cmdLine, NULL, &pid);
  if (!error) return 33;  // above 31: started; the program is not waited for
  LastError = error;
  return error < 32 ? error : SIM_ERROR_BAD_FORMAT;
}

static uint64_t NowMilliseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  if (Injected(OpWaitForSingleObject)) return WAIT_FAILED;
  HandleRecord *record = HandleOf(object, HandleProcess);
  if (!record) {
    LastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  uint64_t deadline = NowMilliseconds() + milliseconds;
  while (!record->ended) {
    int status;
    pid_t done = waitpid(record->pid, &status, milliseconds == INFINITE ? 0 : WNOHANG);
    if (done == record->pid || (done < 0 && errno == ECHILD)) {
      record->ended = true;
      break;
    }
    if (done < 0 && errno == EINTR) continue;
    uint64_t now = NowMilliseconds();
    if (milliseconds != INFINITE && now >= deadline) return WAIT_TIMEOUT;
    Sleep(deadline - now < 5 ? (DWORD)(deadline - now) : 5);
  }
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE object) {
  HandleRecord *record = HandleOf(object, HandleProcess);
  if (!record) record = HandleOf(object, HandleThread);
  if (!record) return FailWith(ERROR_INVALID_HANDLE);
  ReleaseHandle(record);
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------- command line

static bool InitCommandLine(int argc, char **argv) {
  CommandLineReady = true;
  size_t len = 0;
  bool fits = true;
  CommandLine[0] = 0;
  const char *given = getenv("SIMWIN_CMDLINE");
  if (given) {
    fits = AppendText(CommandLine, sizeof CommandLine, &len, given);
    unsetenv("SIMWIN_CMDLINE");  // it is ours alone, not our children's
  } else {
    fits = AppendText(CommandLine, sizeof CommandLine, &len, "\"") &&
           AppendText(CommandLine, sizeof CommandLine, &len,
                      Machine.moduleKnown ? Machine.module : "") &&
           AppendText(CommandLine, sizeof CommandLine, &len, "\"");
    for (int i = 1; fits && i < argc; i++)
      fits = AppendText(CommandLine, sizeof CommandLine, &len, " ") &&
             AppendText(CommandLine, sizeof CommandLine, &len, argv[i]);
  }
  return fits;
}

LPSTR GetCommandLineA(void) {
  EnsureMachine();
  if (!CommandLineReady) InitCommandLine(0, NULL);
  return CommandLine;
}

// The command line without the program's name, as WinMain receives it.
static LPSTR ArgumentsOf(LPSTR commandLine) {
  char *p = commandLine;
  while (*p == ' ' || *p == '\t') p++;
  if (*p == '"') {
    p++;
    while (*p && *p != '"') p++;
    if (*p == '"') p++;
  } else {
    while (*p && *p != ' ' && *p != '\t') p++;
  }
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

int SimMain(int argc, char **argv, int(WINAPI *winMain)(HINSTANCE, HINSTANCE, LPSTR, int)) {
  const char *self = argc > 0 && argv[0] ? argv[0] : "simwin";
  const char *root = getenv("SIMWIN_ROOT");
  if (!root || !*root) {
    fprintf(stderr, "%s: SIMWIN_ROOT is not set; it names the simulated machine's folder\n", self);
    return 2;
  }
  if (!SimSetRoot(root)) {
    fprintf(stderr, "%s: SIMWIN_ROOT (%s) has no folder drive_c\n", self, root);
    return 2;
  }
  if (!Machine.moduleKnown) {
    fprintf(stderr, "%s: the program does not lie below %s (or its path is too long for Windows)\n",
            self, Machine.drive);
    return 2;
  }
  if (!InitCommandLine(argc, argv)) {
    fprintf(stderr, "%s: the command line is longer than Windows allows\n", self);
    return 2;
  }
  ArmExitHook();
  return winMain((HINSTANCE)(uintptr_t)0x00400000, NULL, ArgumentsOf(CommandLine), SW_SHOW);
}

[[noreturn]] void ExitProcess(UINT code) {
  exit((int)code);  // flushes stdio and writes the call counts (atexit)
}

// ------------------------------------------------------------ message boxes

// The next answer of SIMWIN_ANSWERS, if it is set: true and *answer changed
// when the item fits the box's buttons; an item that does not fit, or an
// exhausted list, leaves the default. False when there is no script.
static bool ScriptedAnswer(bool yesNo, int *answer) {
  const char *script = getenv("SIMWIN_ANSWERS");
  if (!script) return false;
  const char *p = script;
  for (unsigned i = 0; i < Machine.answersUsed && *p; i++) {
    p += strcspn(p, ",");
    if (*p == ',') p++;
  }
  if (!*p) return true;
  Machine.answersUsed++;
  size_t n = strcspn(p, ",");
  while (n > 0 && p[n - 1] == ' ') n--;
  while (n > 0 && *p == ' ') p++, n--;
  if (yesNo && n == 3 && strncasecmp(p, "yes", 3) == 0) *answer = IDYES;
  if (yesNo && n == 2 && strncasecmp(p, "no", 2) == 0) *answer = IDNO;
  if (!yesNo && n == 2 && strncasecmp(p, "ok", 2) == 0) *answer = IDOK;
  return true;
}

static int AskOnTerminal(const char *text, const char *caption, bool yesNo, int fallback) {
  fprintf(stderr, "\n+-- %s --\n| ", caption);
  for (const char *p = text; *p; p++) {
    if (*p == '\n')
      fputs("\n| ", stderr);
    else if (*p != '\r')
      fputc(*p, stderr);
  }
  fputs("\n+--\n", stderr);
  for (;;) {
    fputs(yesNo ? "[Y]es  [N]o > " : "[OK] (Enter) > ", stderr);
    fflush(stderr);
    char line[64];
    if (!fgets(line, sizeof line, stdin)) return fallback;
    size_t n = strcspn(line, "\r\n");
    line[n] = 0;
    if (yesNo && (strcasecmp(line, "y") == 0 || strcasecmp(line, "yes") == 0)) return IDYES;
    if (yesNo && (strcasecmp(line, "n") == 0 || strcasecmp(line, "no") == 0)) return IDNO;
    if (!yesNo && (n == 0 || strcasecmp(line, "ok") == 0)) return IDOK;
  }
}

// A JSON string: quotes, backslashes and control characters escaped, and
// bytes above 127 written as their Latin-1 code points, so that the line is
// valid whatever the code page. out has room for 6 bytes per input byte + 3.
static size_t JsonString(const char *s, char *out) {
  static const char hex[] = "0123456789abcdef";
  size_t len = 0;
  out[len++] = '"';
  for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
    if (*p == '"' || *p == '\\') {
      out[len++] = '\\';
      out[len++] = (char)*p;
    } else if (*p == '\n') {
      out[len++] = '\\', out[len++] = 'n';
    } else if (*p == '\r') {
      out[len++] = '\\', out[len++] = 'r';
    } else if (*p == '\t') {
      out[len++] = '\\', out[len++] = 't';
    } else if (*p < 0x20 || *p > 0x7f) {
      memcpy(out + len, "\\u00", 4);
      out[len + 4] = hex[*p >> 4];
      out[len + 5] = hex[*p & 15];
      len += 6;
    } else {
      out[len++] = (char)*p;
    }
  }
  out[len++] = '"';
  out[len] = 0;
  return len;
}

// Appends the box to SIMWIN_TRANSCRIPT as one line, in one write, opening
// and closing the file each time: the process may end right after.
static void AppendTranscript(const char *caption, const char *text, UINT style, int answer) {
  const char *path = getenv("SIMWIN_TRANSCRIPT");
  if (!path || !*path) return;
  size_t size = 6 * (strlen(caption) + strlen(text)) + 128;
  char *line = (char *)malloc(size);
  if (!line) return;
  size_t len = 0;
  memcpy(line, "{\"caption\": ", 12);
  len = 12;
  len += JsonString(caption, line + len);
  memcpy(line + len, ", \"text\": ", 10);
  len += 10;
  len += JsonString(text, line + len);
  int n = snprintf(line + len, size - len, ", \"style\": %u, \"answer\": %d}\n", style, answer);
  if (n > 0 && (size_t)n < size - len) {
    len += (size_t)n;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      WriteAll(fd, line, len);
      close(fd);
    }
  }
  free(line);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  (void)owner;
  EnsureMachine();
  if (!text) text = "";
  if (!caption) caption = "Error";
  bool yesNo = (style & 0xF) == MB_YESNO;
  int answer = yesNo ? IDNO : IDOK;
  if (!ScriptedAnswer(yesNo, &answer) && isatty(STDIN_FILENO) && isatty(STDERR_FILENO))
    answer = AskOnTerminal(text, caption, yesNo, answer);
  AppendTranscript(caption, text, style, answer);
  return answer;
}
