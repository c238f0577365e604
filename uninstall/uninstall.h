// The uninstaller of Korvane Quillfen: the operations of one run and the
// directory strings they share.
#ifndef QUILLFEN_UNINSTALL_H
#define QUILLFEN_UNINSTALL_H

#include <stddef.h>

#include "platform.h"

// Fixed at the start of the run and never changed afterwards. Every
// directory string ends with exactly one backslash.
extern char WindowsDir[MAX_PATH];
extern char SystemDir[MAX_PATH];
extern char InstallDir[MAX_PATH];
extern char ShortInstallDir[MAX_PATH];
extern char WininitPath[MAX_PATH];

// The driver: the whole run. Returns the process exit code.
int RunUninstall(HINSTANCE instance, const char *arguments);

// Shows the fatal "in use" box and ends the process with exit code 1.
[[noreturn]] void FatalError(const char *text);

// The argument string of a full command line: the program's name, quoted or
// not, and the blanks after it taken off. Points into commandLine.
const char *ArgumentString(const char *commandLine);

// Path and file primitives (primitives.cpp). Every output is bounded by the
// size given; a result that would not fit is reported as false and leaves an
// empty string.
bool DirectoryOf(const char *path, char *out, size_t size);
bool AddBackslash(char *path, size_t size);
bool JoinPath(char *out, size_t size, const char *directory, const char *name);
bool SameTextIgnoringCase(const char *a, const char *b);
bool FileExists(const char *directory, const char *name);
bool FileWritable(const char *directory, const char *name);
bool CopyFileInBlocks(const char *source, const char *destination);
bool CopyStreamInBlocks(FILE *source, FILE *destination);

// Creates a fresh file of our own in the directory, under a name that did not
// exist (never following a link), and opens it for binary writing. The
// chosen path is left in path.
FILE *CreateTempFileIn(const char *directory, char *path, size_t size);

// Writes the stream's buffered data and closes it; false when anything that
// was written did not reach the file. The stream is closed in either case.
bool FinishStream(FILE *stream);

// Starts a program: the command line is directory + program, a blank and the
// arguments (a program path that holds a blank is put in double quotes). A
// command line that does not fit 255 characters is not started. The program
// runs in currentDirectory when one is given. Returns a handle to wait for,
// or NULL when nothing was started.
HANDLE LaunchProgram(const char *directory, const char *program, const char *arguments,
                     const char *currentDirectory);

// Builds the command line LaunchProgram would start; false when it does not
// fit the size given (at most 256 bytes are ever used).
bool BuildCommandLine(char *out, size_t size, const char *directory, const char *program,
                      const char *arguments);

// Waits at most the given time for a started program, then lets go of it.
void WaitForProgram(HANDLE process, DWORD milliseconds);

// Puts the saved system OpenGL library back (restore.cpp). False when it
// could not; ends the process itself when the product's library cannot be
// deleted.
bool RestoreSystemOpenGL(void);

// Enters directory + name into the boot-time deletion list (bootlist.cpp).
bool ScheduleDeleteAtBoot(const char *listPath, const char *directory, const char *name);

// The heart of it: copies a list to out in text mode with the entry (a line
// ending in a line feed) added where Windows will carry it out.
bool CopyListWithEntry(FILE *in, FILE *out, const char *entry);

// Removes the install directory as far as possible (removetree.cpp).
bool IsProtectedDirectory(const char *directory);
void RemoveTree(const char *directory);

#endif
