// Putting the system's own OpenGL library back in place of the product's.
#include "uninstall.h"

namespace {

const char kLibrary[] = "opengl32.dll";
const char kSaved[] = "opengl32.prv";

const char kUninstallErrorText[] =
    "The uninstall could not restore the original opengl32.dll.\n"
    "Please contact Korvane Technical Support at +1-800-555-0142\n"
    "to report this problem and get help uninstalling this product.";

void DeleteIn(const char *directory, const char *name) {
  char path[MAX_PATH];
  if (JoinPath(path, sizeof path, directory, name)) DeleteFileA(path);
}

// Copies the saved library into a file of its own beside the destination
// and renames it into place only once it is whole: every program on the
// machine loads this library, and a cut copy would break them all.
bool PutBackSavedLibrary(const char *saved, const char *library) {
  FILE *in = OpenFileStream(saved, "rb");
  if (in == NULL) return false;
  char staged[MAX_PATH];
  FILE *out = CreateTempFileIn(SystemDir, staged, sizeof staged);
  if (out == NULL) {
    fclose(in);
    return false;
  }
  bool copied = CopyStreamInBlocks(in, out);
  fclose(in);
  copied = FinishStream(out) && copied;
  if (copied && MoveFileA(staged, library)) return true;
  DeleteFileA(staged);
  return false;
}

}  // namespace

bool RestoreSystemOpenGL(void) {
  if (!FileExists(SystemDir, kLibrary) || !FileWritable(SystemDir, kLibrary)) return false;

  char library[MAX_PATH];
  if (!JoinPath(library, sizeof library, SystemDir, kLibrary)) return false;
  if (!DeleteFileA(library)) {
    MessageBoxA(NULL, kUninstallErrorText, "Uninstall Error!", MB_ICONERROR);
    ExitProcess(0);
  }

  // Without a saved copy the product brought the only library there was:
  // it goes, and nothing takes its place.
  if (FileExists(InstallDir, kSaved)) {
    char saved[MAX_PATH];
    if (!JoinPath(saved, sizeof saved, InstallDir, kSaved)) return false;
    if (!PutBackSavedLibrary(saved, library)) return false;
  }

  DeleteIn(InstallDir, "opengl32.vr1");
  DeleteIn(InstallDir, "opengl32.vr2");
  DeleteIn(SystemDir, "qxhelp.vxd");
  DeleteIn(SystemDir, kSaved);
  return true;
}
