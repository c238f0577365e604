// The simulated Windows machine: the subset of the Win32 API the uninstaller
// calls, implemented on a POSIX host over a folder that stands for the
// machine.
//
// The machine lives in $SIMWIN_ROOT; drive C:\ is $SIMWIN_ROOT/drive_c, as in
// a Wine prefix. The Windows directory is C:\WINDOWS and the system directory
// C:\WINDOWS\SYSTEM. Names are matched without regard to ASCII letter case.
// Windows semantics (read-only files, files in use, 8.3 names, links) are
// modelled on top of the host's files:
//   - read-only is the owner's write bit cleared;
//   - a file is in use when it is the running program's own image or another
//     process holds an flock(2) on it;
//   - a symbolic link carries FILE_ATTRIBUTE_REPARSE_POINT and is never
//     followed by enumeration or deletion.
//
// Environment of the simulated machine:
//   SIMWIN_ROOT        the machine's folder (required by the program's entry).
//   SIMWIN_ANSWERS     comma-separated answers to message boxes: yes, no, ok.
//   SIMWIN_TRANSCRIPT  file to which every box shown is appended as JSON.
//   SIMWIN_FAIL        faults to inject: "Operation:k[:error]" items separated
//                      by commas; the k-th call (from 1) of that operation
//                      fails, setting the given Windows error code.
//   SIMWIN_CALLS       file to which the count of calls of each fallible
//                      operation is written when the process ends.
//                      SIMWIN_FAIL and SIMWIN_CALLS belong to the process they
//                      are given to; programs it starts do not inherit them.
//   SIMWIN_CMDLINE     the full command line handed to a started program.
#ifndef QUILLFEN_SIMWIN_H
#define QUILLFEN_SIMWIN_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef unsigned int UINT;
typedef void *HANDLE;
typedef void *HINSTANCE;
typedef void *HWND;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFF)

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

#define MB_OK 0x00000000
#define MB_YESNO 0x00000004
#define MB_ICONERROR 0x00000010
#define MB_ICONQUESTION 0x00000020
#define MB_ICONWARNING 0x00000030
#define MB_ICONINFORMATION 0x00000040
#define MB_TASKMODAL 0x00002000
#define IDOK 1
#define IDYES 6
#define IDNO 7

#define SW_SHOW 5

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000
#define WAIT_TIMEOUT 0x00000102
#define WAIT_FAILED 0xFFFFFFFF

#define STARTF_USESHOWWINDOW 0x00000001

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206

typedef struct {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

typedef struct {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
} WIN32_FIND_DATAA;

typedef struct {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize;
  DWORD dwXCountChars, dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE *lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA;

typedef struct {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION;

// The program's own entry point, called by the simulated machine's main().
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR cmdLine, int show);

DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD GetVersion(void);

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD GetModuleFileNameA(HINSTANCE module, LPSTR buffer, DWORD size);
DWORD GetShortPathNameA(LPCSTR longPath, LPSTR buffer, DWORD size);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
LPSTR GetCommandLineA(void);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

DWORD GetFileAttributesA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL DeleteFileA(LPCSTR path);
BOOL RemoveDirectoryA(LPCSTR path);
BOOL MoveFileA(LPCSTR from, LPCSTR to);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *data);
BOOL FindClose(HANDLE find);

UINT WinExec(LPCSTR cmdLine, UINT show);
BOOL CreateProcessA(LPCSTR application, LPSTR cmdLine, void *processAttributes,
                    void *threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    void *environment, LPCSTR currentDirectory, STARTUPINFOA *startup,
                    PROCESS_INFORMATION *info);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL CloseHandle(HANDLE object);
void Sleep(DWORD milliseconds);

[[noreturn]] void ExitProcess(UINT code);

// Simulation-only entry points, for the machine's own main() and for tests.

// Points the machine at a folder (the value SIMWIN_ROOT would have) and
// forgets all state kept from an earlier machine. Returns false when the
// folder has no drive_c.
bool SimSetRoot(const char *root);

// The host path that a Windows path stands for, resolved without regard to
// letter case; components that do not exist keep the letter case given.
// Returns false for a path outside the machine or one that does not fit.
bool SimHostPath(const char *windowsPath, char *hostPath, size_t size);

// The Windows path of a host path inside drive_c.
bool SimWindowsPath(const char *hostPath, char *windowsPath, size_t size);

// The body of the native program's main(). Without SIMWIN_ROOT, or when the
// running program does not lie below its drive_c, prints one line to stderr
// and returns 2, touching nothing. Otherwise takes over the command line
// (SIMWIN_CMDLINE when the program was started by the machine) and returns
// what winMain returns for its argument part, with SW_SHOW.
int SimMain(int argc, char **argv, int(WINAPI *winMain)(HINSTANCE, HINSTANCE, LPSTR, int));

#endif
