// The run of the uninstaller, top to bottom: fix the directories, ask, put
// the system library back, start the engine, delete the product's files,
// report, and clear the install directory.
#include <string.h>

#include "uninstall.h"

char WindowsDir[MAX_PATH];
char SystemDir[MAX_PATH];
char InstallDir[MAX_PATH];
char ShortInstallDir[MAX_PATH];
char WininitPath[MAX_PATH];

namespace {

const char kConfirmCaption[] = "Uninstall Korvane Quillfen?";
const char kConfirmText[] =
    "Are you sure you want to remove Korvane Quillfen and all of it's components?\n";

const char kInUseText[] =
    "The OpenGL DLL is currently in use.\n\nPlease exit any applications that may be using "
    "it\nor reboot your system and run this program again.\n\nIf you get this message again, "
    "run\n\n%suninstal.exe -norename\n\nfrom a MS-DOS prompt and this will not attempt "
    "to\nrestore the original OpenGL DLL.";

const char kSuccessText[] = "Korvane Quillfen has been successfully removed from your system.";
const char kRestartText[] =
    "Korvane Quillfen has been successfully removed from your system.\n\nThe Control Panel icon "
    "for Korvane Quillfen will be removed\nthe next time you restart your system.";

// The engine gets its log by a relative name, so it runs in the install
// directory; the tree is removed only once it is done, or has had its time.
const DWORD kEngineWaitMs = 60 * 1000;

// A directory string from a platform call: a result that did not fit is
// taken as no result at all, never as a cut path.
void FixDirectory(char *buffer, UINT length) {
  if (length == 0 || length >= MAX_PATH) {
    buffer[0] = '\0';
    return;
  }
  buffer[MAX_PATH - 1] = '\0';
  if (!AddBackslash(buffer, MAX_PATH)) buffer[0] = '\0';
}

// False when a directory the run works in could not be found: every path
// would then be relative to wherever the program was started from.
bool FixDirectories(HINSTANCE instance) {
  FixDirectory(WindowsDir, GetWindowsDirectoryA(WindowsDir, MAX_PATH));
  FixDirectory(SystemDir, GetSystemDirectoryA(SystemDir, MAX_PATH));
  if (WindowsDir[0] == '\0' ||
      !JoinPath(WininitPath, sizeof WininitPath, WindowsDir, "wininit.ini")) {
    WininitPath[0] = '\0';
  }

  char module[MAX_PATH];
  DWORD length = GetModuleFileNameA(instance, module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) module[0] = '\0';
  module[MAX_PATH - 1] = '\0';
  if (!DirectoryOf(module, InstallDir, sizeof InstallDir) || InstallDir[0] == '\0' ||
      !AddBackslash(InstallDir, sizeof InstallDir)) {
    InstallDir[0] = '\0';
  }

  // Without a short form the long one is scheduled: it names the same file.
  DWORD shortLength = GetShortPathNameA(InstallDir, ShortInstallDir, MAX_PATH);
  if (shortLength == 0 || shortLength >= MAX_PATH ||
      !AddBackslash(ShortInstallDir, sizeof ShortInstallDir)) {
    memcpy(ShortInstallDir, InstallDir, sizeof ShortInstallDir);
  }
  return WindowsDir[0] != '\0' && SystemDir[0] != '\0' && InstallDir[0] != '\0' &&
         WininitPath[0] != '\0';
}

bool IsNtFamily(void) {
  return (GetVersion() & 0x80000000u) == 0;
}

// Enters the file in wininit.ini, which Windows 9x works through at boot.
// The NT family never reads that file; there the deletion is also recorded
// with the system's own pending-operations list.
void DeleteAtNextBoot(const char *directory, const char *name) {
  ScheduleDeleteAtBoot(WininitPath, directory, name);
  char path[MAX_PATH];
  if (IsNtFamily() && JoinPath(path, sizeof path, directory, name)) {
    MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
}

void DeleteFromSystem(const char *name, bool *deleted) {
  char path[MAX_PATH];
  bool ok = JoinPath(path, sizeof path, SystemDir, name) && DeleteFileA(path);
  if (deleted != NULL) *deleted = ok;
}

}  // namespace

const char *ArgumentString(const char *commandLine) {
  const char *p = commandLine;
  while (*p == ' ' || *p == '\t') p++;
  if (*p == '"') {
    p++;
    while (*p != '\0' && *p != '"' && *p != '\t') p++;
    if (*p == '"') p++;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') p++;
  }
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

void FatalError(const char *text) {
  MessageBoxA(NULL, text, "Fatal Error!", MB_TASKMODAL | MB_ICONWARNING);
  ExitProcess(1);
}

int RunUninstall(HINSTANCE instance, const char *arguments) {
  if (!FixDirectories(instance)) return 1;

  if (MessageBoxA(NULL, kConfirmText, kConfirmCaption, MB_TASKMODAL | MB_ICONQUESTION | MB_YESNO) !=
      IDYES) {
    return 0;
  }

  if (!SameTextIgnoringCase(arguments, "-norename") && !RestoreSystemOpenGL()) {
    char text[sizeof kInUseText + MAX_PATH];
    snprintf(text, sizeof text, kInUseText, InstallDir);
    FatalError(text);
  }

  HANDLE engine = LaunchProgram(InstallDir, "\\uninstal.000", "/S install.log", InstallDir);

  DeleteFromSystem("qfn_d3d.dll", NULL);
  DeleteFromSystem("qfn_sw.dll", NULL);

  bool appletDeleted;
  DeleteFromSystem("QUILLFEN.CPL", &appletDeleted);
  if (appletDeleted) {
    MessageBoxA(NULL, kSuccessText, "Success!", MB_ICONINFORMATION);
  } else {
    DeleteAtNextBoot(SystemDir, "QUILLFEN.CPL");
    DeleteAtNextBoot(ShortInstallDir, "UNINSTAL.EXE");
    MessageBoxA(NULL, kRestartText, "Uninstall Information", MB_ICONINFORMATION);
  }

  WaitForProgram(engine, kEngineWaitMs);
  if (!IsProtectedDirectory(InstallDir)) RemoveTree(InstallDir);
  return 0;
}
