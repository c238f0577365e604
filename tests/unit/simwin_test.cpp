// The simulated Windows machine: paths, names, attributes, the refusals
// Windows makes, listings, streams, faults, processes and message boxes.
//
// The test program doubles as a program of the machine: started with
// SIMWIN_TEST_CHILD set, it runs the machine's entry with ChildWinMain
// before any test, and writes what it saw to SIMWIN_TEST_REPORT.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "machine_fixture.h"

extern char **environ;

namespace {

// ------------------------------------------------- the test as a program

int WINAPI ChildWinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int show) {
  std::string action = getenv("SIMWIN_TEST_CHILD");
  if (action == "exit") {  // a few counted calls, then ExitProcess
    char buffer[MAX_PATH];
    GetWindowsDirectoryA(buffer, sizeof buffer);
    GetWindowsDirectoryA(buffer, sizeof buffer);
    DeleteFileA("C:\\no such file");
    ExitProcess(3);
  }
  if (action == "sleep") Sleep(3000);
  FILE *report = fopen(getenv("SIMWIN_TEST_REPORT"), "w");
  if (!report) return 1;
  char module[MAX_PATH] = "", current[MAX_PATH] = "";
  GetModuleFileNameA(NULL, module, sizeof module);
  GetCurrentDirectoryA(sizeof current, current);
  fprintf(report, "arguments=%s\ncmdline=%s\nshow=%d\nmodule=%s\ncwd=%s\n", arguments,
          GetCommandLineA(), show, module, current);
  for (const char *name : {"SIMWIN_CMDLINE", "SIMWIN_FAIL", "SIMWIN_CALLS"})
    if (getenv(name)) fprintf(report, "inherited=%s\n", name);
  FILE *args = fopen("/proc/self/cmdline", "rb");
  std::string arg;
  int c, index = 0;
  while (args && (c = fgetc(args)) != EOF) {
    if (c) {
      arg += (char)c;
    } else {
      if (index++ > 0) fprintf(report, "arg=%s\n", arg.c_str());
      arg.clear();
    }
  }
  if (args) fclose(args);
  if (action == "delete-self") {
    BOOL deleted = DeleteFileA(module);
    fprintf(report, "delete-self=%d %u\n", deleted, GetLastError());
  }
  fclose(report);
  return 42;
}

__attribute__((constructor)) void RunAsChild(int argc, char **argv, char **) {
  if (getenv("SIMWIN_TEST_CHILD")) exit(SimMain(argc, argv, ChildWinMain));
}

// ------------------------------------------------------------------ helpers

const char *const kMachineVariables[] = {
    "SIMWIN_ROOT",  "SIMWIN_ANSWERS", "SIMWIN_TRANSCRIPT", "SIMWIN_FAIL",
    "SIMWIN_CALLS", "SIMWIN_CMDLINE", "SIMWIN_TEST_CHILD", "SIMWIN_TEST_REPORT"};

class SimTest : public MachineTest {
 protected:
  void SetUp() override {
    for (const char *name : kMachineVariables) unsetenv(name);
    MachineTest::SetUp();
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd_.c_str()), 0);
    for (const char *name : kMachineVariables) unsetenv(name);
    MachineTest::TearDown();
  }

  std::string Drive() const { return root_ + "/drive_c"; }

  void Link(const std::string &below_c, const std::string &target) const {
    std::filesystem::create_directories(std::filesystem::path(Host(below_c)).parent_path());
    ASSERT_EQ(symlink(target.c_str(), Host(below_c).c_str()), 0);
  }

  mode_t Mode(const std::string &below_c) const {
    struct stat st;
    return lstat(Host(below_c).c_str(), &st) == 0 ? st.st_mode : 0;
  }

  // Puts a copy of this test program into the machine, as a program of it.
  void InstallChild(const std::string &below_c) const {
    std::filesystem::create_directories(std::filesystem::path(Host(below_c)).parent_path());
    std::error_code error;
    std::filesystem::copy_file("/proc/self/exe", Host(below_c), error);
    ASSERT_FALSE(error) << error.message();
    chmod(Host(below_c).c_str(), 0755);
  }

  // Runs a host program directly (not through the machine) with extra
  // environment; returns its exit code, its stderr in *err.
  int Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
          std::string *err = nullptr) const {
    std::vector<std::string> variables = env;
    for (char **e = environ; *e; e++) {
      std::string entry = *e;
      if (entry.rfind("SIMWIN_", 0) != 0) variables.push_back(entry);
    }
    std::vector<char *> args, envp;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &v : variables) envp.push_back(const_cast<char *>(v.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    std::string errors = root_ + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid;
    int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status;
    waitpid(pid, &status, 0);
    if (err) {
      std::ifstream in(errors);
      *err = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The lines of the child's report.
  std::vector<std::string> Report() const {
    std::vector<std::string> lines;
    std::ifstream in(root_ + "/report.txt");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string ReportValue(const std::string &key) const {
    for (const std::string &line : Report())
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "<none>";
  }
  std::vector<std::string> ReportArgs() const {
    std::vector<std::string> args;
    for (const std::string &line : Report())
      if (line.rfind("arg=", 0) == 0) args.push_back(line.substr(4));
    return args;
  }

  // Restarts the machine, so that it takes in the environment set since.
  void Restart() { ASSERT_TRUE(SimSetRoot(root_.c_str())); }

  std::string cwd_;
};

std::vector<std::string> List(const char *pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    char line[MAX_PATH + 16];
    snprintf(line, sizeof line, "%s %#x", data.cFileName, data.dwFileAttributes);
    names.push_back(line);
  } while (FindNextFileA(find, &data));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  return names;
}

std::string ShortPath(const char *path) {
  char buffer[MAX_PATH];
  DWORD n = GetShortPathNameA(path, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer)
                                    : "<failed " + std::to_string(GetLastError()) + ">";
}

// ------------------------------------------------- paths and letter case

using SimPaths = SimTest;

TEST_F(SimPaths, WindowsPathsFindTheirFilesWhateverTheLetterCase) {
  Write("windows/system/quillfen.cpl", "applet");
  Write("APP/Sub Dir/file.txt", "x");
  const struct {
    const char *windows;
    const char *host;  // below drive_c
  } cases[] = {
      {"C:\\WINDOWS\\SYSTEM\\QUILLFEN.CPL", "/windows/system/quillfen.cpl"},
      {"c:/Windows//system\\\\Quillfen.cpl", "/windows/system/quillfen.cpl"},
      {"C:\\app\\.\\x\\..\\SUB DIR\\FILE.TXT", "/APP/Sub Dir/file.txt"},
      {"C:\\..\\..\\APP\\..\\..\\app", "/APP"},
      {"C:\\app\\New File.TXT", "/APP/New File.TXT"},  // missing: the case given
      {"C:\\app\\NewDir\\x.TXT", "/APP/NewDir/x.TXT"},
      {"C:\\", ""},
      {"C:", ""},  // the current directory, here the Windows directory
  };
  ASSERT_EQ(chdir("/"), 0);
  std::filesystem::create_directories(Host("windows"));
  for (const auto &c : cases) {
    char host[4096];
    ASSERT_TRUE(SimHostPath(c.windows, host, sizeof host)) << c.windows;
    std::string expected = Drive() + c.host;
    if (std::string(c.windows) == "C:") expected = Drive() + "/windows";
    EXPECT_EQ(host, expected) << c.windows;
  }
}

TEST_F(SimPaths, PathsOutsideTheMachineOrTooLongAreRefused) {
  char host[4096];
  EXPECT_FALSE(SimHostPath("D:\\x", host, sizeof host));
  EXPECT_FALSE(SimHostPath(("C:\\" + std::string(MAX_PATH, 'a')).c_str(), host, sizeof host));
  EXPECT_FALSE(SimHostPath("C:\\x", host, 4));  // does not fit: never cut
  const struct {
    std::string path;
    DWORD error;
  } cases[] = {
      {"C:\\APP\\missing.txt", ERROR_FILE_NOT_FOUND},
      {"C:\\missing\\file.txt", ERROR_PATH_NOT_FOUND},
      {"C:\\APP\\file.txt\\below", ERROR_PATH_NOT_FOUND},
      {"C:\\APP\\file.txt\\", ERROR_PATH_NOT_FOUND},
      {"D:\\APP\\file.txt", ERROR_PATH_NOT_FOUND},
      {"C:\\" + std::string(MAX_PATH - 3, 'a'), ERROR_FILENAME_EXCED_RANGE},
  };
  Write("APP/file.txt", "x");
  for (const auto &c : cases) {
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(c.path.c_str()), INVALID_FILE_ATTRIBUTES) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
}

TEST_F(SimPaths, RelativePathsFollowTheCurrentDirectory) {
  Write("APP/Sub/file.txt", "x");
  ASSERT_EQ(chdir(Host("APP").c_str()), 0);
  char current[MAX_PATH];
  EXPECT_EQ(GetCurrentDirectoryA(sizeof current, current), 6u);
  EXPECT_STREQ(current, "C:\\APP");
  EXPECT_EQ(GetCurrentDirectoryA(3, current), 7u);  // too small: the size needed
  EXPECT_EQ(GetFileAttributesA("sub\\FILE.TXT"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesA("\\APP\\SUB"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
  // A host directory outside the machine counts as the Windows directory.
  ASSERT_EQ(chdir("/"), 0);
  GetCurrentDirectoryA(sizeof current, current);
  EXPECT_STREQ(current, "C:\\WINDOWS");
}

TEST_F(SimPaths, HostPathsInsideDriveCGetTheirWindowsPaths) {
  char windows[MAX_PATH];
  ASSERT_TRUE(SimWindowsPath((Drive() + "/APP/Sub Dir/x.txt").c_str(), windows, sizeof windows));
  EXPECT_STREQ(windows, "C:\\APP\\Sub Dir\\x.txt");
  ASSERT_TRUE(SimWindowsPath(Drive().c_str(), windows, sizeof windows));
  EXPECT_STREQ(windows, "C:\\");
  EXPECT_FALSE(SimWindowsPath((root_ + "/drive_cx/a").c_str(), windows, sizeof windows));
  EXPECT_FALSE(SimWindowsPath("/etc/passwd", windows, sizeof windows));
}

TEST_F(SimPaths, FoldersAndVersionAreThoseOfAWindows98Layout) {
  char buffer[MAX_PATH];
  EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 17u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS\\SYSTEM");
  char small[4] = "abc";
  EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), 18u);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(GetVersion(), 0xC0000A04u);
  EXPECT_NE(GetVersion() & 0x80000000u, 0u);
}

// ---------------------------------------------------------------- 8.3 names

using SimShortNames = SimTest;

TEST_F(SimShortNames, LongComponentsBecomeStemTildeNumberExtension) {
  std::filesystem::create_directories(Host("Program Files/Korv App"));
  std::filesystem::create_directories(Host("Programs Old"));
  std::filesystem::create_directories(Host("PROGRA~1"));  // a real 8.3 name holds ~1
  Write("APP/my.long.name.html", "");
  Write("APP/.cfg", "");
  Write("APP/a+b,c;d=e[f]g h.txt", "");
  Write("APP/ok.txt", "");
  const struct {
    const char *path;
    const char *expected;
  } cases[] = {
      {"C:\\Program Files\\Korv App\\", "C:\\PROGRA~2\\KORVAP~1\\"},
      {"c:\\programs old", "C:\\PROGRA~3"},
      {"C:\\PROGRA~1", "C:\\PROGRA~1"},
      {"C:\\windows\\SYSTEM", "C:\\windows\\system"},  // valid 8.3 names stay as stored
      {"C:\\APP\\my.long.name.html", "C:\\APP\\MYLONG~1.HTM"},
      {"C:\\APP\\.cfg", "C:\\APP\\CFG~1"},
      {"C:\\APP\\a+b,c;d=e[f]g h.txt", "C:\\APP\\ABCDEF~1.TXT"},
      {"C:\\APP\\OK.TXT", "C:\\APP\\ok.txt"},
      {"C:\\", "C:\\"},
  };
  for (const auto &c : cases) EXPECT_EQ(ShortPath(c.path), c.expected) << c.path;
}

TEST_F(SimShortNames, SiblingsWithTheSameStemGetDistinctNames) {
  std::set<std::string> seen;
  for (int i = 1; i <= 12; i++) Write("DIR/Long Name " + std::to_string(100 + i) + ".text", "");
  for (int i = 1; i <= 12; i++) {
    std::string name =
        ShortPath(("C:\\DIR\\Long Name " + std::to_string(100 + i) + ".text").c_str());
    EXPECT_TRUE(seen.insert(name).second) << name;
    std::string last = name.substr(name.rfind('\\') + 1);
    EXPECT_LE(last.size(), 12u) << name;
    EXPECT_LE(last.find('.'), 8u) << name;
  }
  EXPECT_TRUE(seen.count("C:\\DIR\\LONGNA~1.TEX"));
  EXPECT_TRUE(seen.count("C:\\DIR\\LONGN~12.TEX"));
}

TEST_F(SimShortNames, MissingPathsAndSmallBuffersFollowTheWin32Contract) {
  SetLastError(0);
  char buffer[MAX_PATH];
  EXPECT_EQ(GetShortPathNameA("C:\\Program Files", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

  std::filesystem::create_directories(Host("Program Files"));
  char small[8];
  memset(small, '#', sizeof small);
  EXPECT_EQ(GetShortPathNameA("C:\\Program Files", small, sizeof small),
            12u);  // "C:\PROGRA~1" + NUL
  EXPECT_EQ(std::string(small, sizeof small), std::string(8, '#'));
  EXPECT_EQ(GetShortPathNameA("C:\\Program Files", buffer, 12), 11u);
  EXPECT_STREQ(buffer, "C:\\PROGRA~1");
}

// ---------------------------------------------------------- attributes

using SimAttributes = SimTest;

TEST_F(SimAttributes, BitsShowKindReadOnlyAndLinksUnfollowed) {
  Write("APP/file.txt", "x");
  Write("APP/ro.txt", "x");
  MakeReadOnly("APP/ro.txt");
  std::filesystem::create_directories(Host("APP/dir"));
  Link("APP/dirlink", Host("APP/dir"));
  Link("APP/filelink", Host("APP/ro.txt"));
  Link("APP/dangling", Host("APP/nothing"));
  const struct {
    const char *path;
    DWORD attributes;
  } cases[] = {
      {"C:\\APP\\file.txt", 0x20},
      {"C:\\APP\\ro.txt", 0x21},
      {"C:\\APP\\dir", 0x10},
      {"C:\\APP\\dirlink", 0x410},
      {"C:\\APP\\filelink", 0x420},
      {"C:\\APP\\dangling", 0x420},
      {"C:\\", 0x10},
  };
  for (const auto &c : cases) EXPECT_EQ(GetFileAttributesA(c.path), c.attributes) << c.path;
}

TEST_F(SimAttributes, ReadOnlyIsTheOwnersWriteBit) {
  Write("APP/ro.txt", "x");
  MakeReadOnly("APP/ro.txt");
  ASSERT_TRUE(SetFileAttributesA("C:\\app\\RO.TXT", 0));
  EXPECT_TRUE(Mode("APP/ro.txt") & S_IWUSR);
  EXPECT_EQ(GetFileAttributesA("C:\\APP\\ro.txt"), 0x20u);
  ASSERT_TRUE(SetFileAttributesA("C:\\APP\\ro.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(Mode("APP/ro.txt") & S_IWUSR);
  ASSERT_TRUE(SetFileAttributesA("C:\\APP\\ro.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(Mode("APP/ro.txt") & S_IWUSR);

  SetLastError(0);
  EXPECT_FALSE(SetFileAttributesA("C:\\APP\\missing", 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(SimAttributes, ALinksTargetKeepsItsMode) {
  Write("DATA/keep.txt", "x");
  MakeReadOnly("DATA/keep.txt");
  Link("link.txt", Host("DATA/keep.txt"));
  EXPECT_TRUE(SetFileAttributesA("C:\\link.txt", 0));
  EXPECT_EQ(Mode("DATA/keep.txt") & 0777, 0444u);
}

// ---------------------------------------------------------------- deleting

using SimDelete = SimTest;

TEST_F(SimDelete, RefusesWhatWindowsRefuses) {
  Write("APP/ro.txt", "x");
  MakeReadOnly("APP/ro.txt");
  std::filesystem::create_directories(Host("APP/dir"));
  Link("APP/dirlink", Host("APP/dir"));
  const struct {
    const char *path;
    DWORD error;
  } cases[] = {
      {"C:\\APP\\missing.txt", ERROR_FILE_NOT_FOUND},
      {"C:\\NOPE\\missing.txt", ERROR_PATH_NOT_FOUND},
      {"C:\\APP\\dir", ERROR_ACCESS_DENIED},
      {"C:\\APP\\dirlink", ERROR_ACCESS_DENIED},
      {"C:\\APP\\ro.txt", ERROR_ACCESS_DENIED},  // even for root, which CI is
  };
  for (const auto &c : cases) {
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(c.path)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_TRUE(Exists("APP/ro.txt"));
  EXPECT_TRUE(Exists("APP/dirlink"));
  ASSERT_TRUE(SetFileAttributesA("C:\\APP\\ro.txt", 0));
  EXPECT_TRUE(DeleteFileA("C:\\app\\RO.TXT"));
  EXPECT_FALSE(Exists("APP/ro.txt"));
}

TEST_F(SimDelete, AFileAnotherProcessHoldsIsInUse) {
  Write("WINDOWS/SYSTEM/QUILLFEN.CPL", "applet");
  Hold("WINDOWS/SYSTEM/QUILLFEN.CPL");
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\SYSTEM\\QUILLFEN.CPL"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  Release();
  EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\SYSTEM\\QUILLFEN.CPL"));
}

TEST_F(SimDelete, ALinkGoesAsTheLinkAndItsTargetStays) {
  Write("DATA/keep.txt", "user data");
  Link("APP/notes.txt", Host("DATA/keep.txt"));
  EXPECT_TRUE(DeleteFileA("C:\\APP\\notes.txt"));
  EXPECT_FALSE(Exists("APP/notes.txt"));
  EXPECT_EQ(Read("DATA/keep.txt"), "user data");
}

TEST_F(SimDelete, RemoveDirectoryTakesEmptyFoldersAndLinksOnly) {
  Write("APP/full/file.txt", "x");
  Write("APP/file.txt", "x");
  Write("DATA/sub/deep.txt", "user data");
  std::filesystem::create_directories(Host("APP/empty"));
  Link("APP/data", Host("DATA"));
  const struct {
    const char *path;
    DWORD error;
  } refusals[] = {
      {"C:\\APP\\full", ERROR_DIR_NOT_EMPTY},
      {"C:\\APP\\file.txt", 267},  // ERROR_DIRECTORY
      {"C:\\APP\\missing", ERROR_FILE_NOT_FOUND},
      {"C:\\", ERROR_ACCESS_DENIED},
  };
  for (const auto &c : refusals) {
    SetLastError(0);
    EXPECT_FALSE(RemoveDirectoryA(c.path)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_TRUE(RemoveDirectoryA("C:\\APP\\EMPTY\\"));
  EXPECT_FALSE(Exists("APP/empty"));
  EXPECT_TRUE(RemoveDirectoryA("C:\\APP\\data\\"));
  EXPECT_FALSE(Exists("APP/data"));
  EXPECT_EQ(Read("DATA/sub/deep.txt"), "user data");
}

// ------------------------------------------------------------------- moving

using SimMove = SimTest;

TEST_F(SimMove, ReplacesOnlyWhenAskedAndAllowed) {
  Write("APP/new.dll", "new");
  Write("APP/old.dll", "old");
  SetLastError(0);
  EXPECT_FALSE(MoveFileA("C:\\APP\\new.dll", "C:\\APP\\OLD.DLL"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExA("C:\\APP\\new.dll", "C:\\APP\\OLD.DLL", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Read("APP/old.dll"), "new");
  EXPECT_FALSE(Exists("APP/new.dll"));
  EXPECT_TRUE(MoveFileA("C:\\APP\\old.dll", "C:\\APP\\moved.dll"));
  EXPECT_EQ(Read("APP/moved.dll"), "new");
}

TEST_F(SimMove, RefusalsLeaveBothFilesAlone) {
  Write("APP/src.txt", "src");
  Write("APP/ro.txt", "ro");
  MakeReadOnly("APP/ro.txt");
  Write("APP/held.txt", "held");
  std::filesystem::create_directories(Host("APP/dir"));
  Hold("APP/held.txt");
  const struct {
    const char *from, *to;
    DWORD flags, error;
  } cases[] = {
      {"C:\\APP\\src.txt", "C:\\APP\\ro.txt", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
      {"C:\\APP\\src.txt", "C:\\APP\\dir", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
      {"C:\\APP\\src.txt", "C:\\APP\\held.txt", MOVEFILE_REPLACE_EXISTING, ERROR_SHARING_VIOLATION},
      {"C:\\APP\\held.txt", "C:\\APP\\new.txt", 0, ERROR_SHARING_VIOLATION},
      {"C:\\APP\\missing", "C:\\APP\\new.txt", 0, ERROR_FILE_NOT_FOUND},
      {"C:\\APP\\src.txt", "C:\\NOPE\\new.txt", 0, ERROR_PATH_NOT_FOUND},
      {"C:\\APP\\src.txt", "C:\\APP\\new.txt", MOVEFILE_DELAY_UNTIL_REBOOT,
       ERROR_CALL_NOT_IMPLEMENTED},
  };
  for (const auto &c : cases) {
    SetLastError(0);
    EXPECT_FALSE(MoveFileExA(c.from, c.to, c.flags)) << c.from << " -> " << c.to;
    EXPECT_EQ(GetLastError(), c.error) << c.from << " -> " << c.to;
  }
  EXPECT_EQ(Read("APP/src.txt"), "src");
  EXPECT_EQ(Read("APP/ro.txt"), "ro");
  EXPECT_EQ(Read("APP/held.txt"), "held");
  EXPECT_FALSE(Exists("APP/new.txt"));
}

// ------------------------------------------------------------------ listing

using SimListing = SimTest;

TEST_F(SimListing, DotsFirstThenEntriesWithTheirBits) {
  Write("APP/a.txt", "x");
  Write("APP/ro.txt", "x");
  MakeReadOnly("APP/ro.txt");
  Write("DATA/keep.txt", "x");
  Link("APP/data", Host("DATA"));
  std::filesystem::create_directories(Host("APP/sub"));
  std::vector<std::string> names = List("C:\\app\\*.*");
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], ". 0x10");
  EXPECT_EQ(names[1], ".. 0x10");
  std::set<std::string> rest(names.begin() + 2, names.end());
  EXPECT_EQ(rest, (std::set<std::string>{"a.txt 0x20", "ro.txt 0x21", "data 0x410", "sub 0x10"}));
  EXPECT_EQ(List("C:\\APP\\*"), names);
  std::vector<std::string> txt = List("C:\\APP\\*.TXT");
  EXPECT_EQ(std::set<std::string>(txt.begin(), txt.end()),
            (std::set<std::string>{"a.txt 0x20", "ro.txt 0x21"}));
}

TEST_F(SimListing, EmptyFoldersRootsAndMissingFolders) {
  std::filesystem::create_directories(Host("APP/empty"));
  EXPECT_EQ(List("C:\\APP\\empty\\*.*"), (std::vector<std::string>{". 0x10", ".. 0x10"}));
  std::vector<std::string> root = List("C:\\*.*");
  for (const std::string &name : root) EXPECT_NE(name[0], '.') << name;  // no dots at the root
  ASSERT_EQ(root.size(), 2u);                                            // APP and windows

  WIN32_FIND_DATAA data;
  SetLastError(0);
  EXPECT_EQ(FindFirstFileA("C:\\NOPE\\*.*", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(FindClose((HANDLE)(intptr_t)12345));
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(SimListing, ALongListingYieldsEveryEntryOnce) {
  // Far more than one read of the directory holds, however it reads.
  std::set<std::string> expected = {". 0x10", ".. 0x10"};
  for (int i = 0; i < 1500; i++) {
    std::string name = "an-entry-with-a-longer-name-" + std::to_string(10000 + i) + ".dat";
    Write("BIG/" + name, "");
    expected.insert(name + " 0x20");
  }
  std::vector<std::string> names = List("C:\\BIG\\*.*");
  EXPECT_EQ(names.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
}

TEST_F(SimListing, NamesThatWouldPointElsewhereAreNotListed) {
  // A host name with backslashes, joined to its folder by a caller, would
  // name a file two levels up.
  Write("victim.txt", "keep");
  Write("APP/SUB/..\\..\\victim.txt", "trap");
  EXPECT_EQ(List("C:\\APP\\SUB\\*.*"), (std::vector<std::string>{". 0x10", ".. 0x10"}));
}

// ------------------------------------------------------------------ streams

using SimStreams = SimTest;

TEST_F(SimStreams, WriteSeekReadRoundTrip) {
  std::filesystem::create_directories(Host("APP"));
  std::string data = Pattern(100000, 3);
  FILE *out = OpenFileStream("C:\\app\\DATA.BIN", "wb");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(fwrite(data.data(), 1, data.size(), out), data.size());
  EXPECT_EQ(fclose(out), 0);
  EXPECT_EQ(Read("APP/DATA.BIN"), data);

  FILE *in = OpenFileStream("C:\\APP\\data.bin", "rb");
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(fseek(in, 70000, SEEK_SET), 0);
  EXPECT_EQ(ftell(in), 70000);
  char buffer[100];
  ASSERT_EQ(fread(buffer, 1, sizeof buffer, in), sizeof buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), data.substr(70000, 100));
  EXPECT_EQ(fclose(in), 0);

  FILE *again = OpenFileStream("C:\\APP\\data.bin", "wb");  // truncates
  ASSERT_NE(again, nullptr);
  fputs("short", again);
  EXPECT_EQ(fclose(again), 0);
  EXPECT_EQ(Read("APP/DATA.BIN"), "short");
}

TEST_F(SimStreams, RefusedOpensLeaveTheFileAsItWas) {
  Write("APP/ro.txt", "read-only");
  MakeReadOnly("APP/ro.txt");
  Write("APP/held.txt", "held");
  std::filesystem::create_directories(Host("APP/dir"));
  Hold("APP/held.txt");
  const struct {
    const char *path, *mode;
    DWORD error;
  } cases[] = {
      {"C:\\APP\\ro.txt", "wb", ERROR_ACCESS_DENIED},
      {"C:\\APP\\held.txt", "wb", ERROR_SHARING_VIOLATION},
      {"C:\\APP\\dir", "wb", ERROR_ACCESS_DENIED},
      {"C:\\APP\\dir", "rb", ERROR_ACCESS_DENIED},
      {"C:\\APP\\missing.txt", "rb", ERROR_FILE_NOT_FOUND},
      {"C:\\NOPE\\new.txt", "wb", ERROR_PATH_NOT_FOUND},
      {"C:\\APP\\ro.txt", "r+", ERROR_INVALID_PARAMETER},
  };
  for (const auto &c : cases) {
    SetLastError(0);
    EXPECT_EQ(OpenFileStream(c.path, c.mode), nullptr) << c.path << " " << c.mode;
    EXPECT_EQ(GetLastError(), c.error) << c.path << " " << c.mode;
  }
  EXPECT_EQ(Read("APP/ro.txt"), "read-only");
  EXPECT_EQ(Read("APP/held.txt"), "held");
  FILE *in = OpenFileStream("C:\\APP\\held.txt", "rb");  // reading a held file is fine
  ASSERT_NE(in, nullptr);
  fclose(in);
}

TEST_F(SimStreams, NewFilesNeverReplaceOrFollowAnything) {
  Write("APP/there.txt", "there");
  Link("APP/link.txt", Host("APP/target.txt"));  // dangling
  for (const char *path : {"C:\\APP\\there.txt", "C:\\APP\\THERE.TXT", "C:\\APP\\link.txt"}) {
    SetLastError(0);
    EXPECT_EQ(CreateNewFileStream(path), nullptr) << path;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS) << path;
  }
  EXPECT_FALSE(Exists("APP/target.txt"));
  EXPECT_EQ(Read("APP/there.txt"), "there");
  FILE *fresh = CreateNewFileStream("C:\\APP\\Fresh.TMP");
  ASSERT_NE(fresh, nullptr);
  fputs("fresh", fresh);
  EXPECT_EQ(fclose(fresh), 0);
  EXPECT_EQ(Read("APP/Fresh.TMP"), "fresh");
}

// ------------------------------------------------------------------- faults

using SimFaults = SimTest;

TEST_F(SimFaults, TheKthCallFailsWithTheGivenOrNaturalError) {
  Write("APP/a.txt", "a");
  Write("APP/b.txt", "b");
  Write("APP/c.txt", "c");
  setenv("SIMWIN_FAIL", "DeleteFileA:2,GetFileAttributesA:1:32", 1);
  Restart();
  SetLastError(0);
  EXPECT_EQ(GetFileAttributesA("C:\\APP\\a.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(GetFileAttributesA("C:\\APP\\a.txt"), 0x20u);
  EXPECT_TRUE(DeleteFileA("C:\\APP\\a.txt"));
  EXPECT_FALSE(DeleteFileA("C:\\APP\\b.txt"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Exists("APP/b.txt"));
  EXPECT_TRUE(DeleteFileA("C:\\APP\\c.txt"));
}

TEST_F(SimFaults, AFailedWriteShowsInFwriteFflushAndFclose) {
  std::filesystem::create_directories(Host("APP"));
  // The data ends right at an unreadable page: a stream that took a failed
  // write for more than was handed over would read past it and crash.
  const size_t size = 50000, page = (size_t)sysconf(_SC_PAGESIZE);
  size_t mapped = (size + page - 1) / page * page + page;
  char *region =
      (char *)mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(mprotect(region + mapped - page, page, PROT_NONE), 0);
  char *data = region + mapped - page - size;
  memcpy(data, Pattern(size, 1).data(), size);
  setenv("SIMWIN_FAIL", "StreamWrite:1", 1);
  Restart();
  FILE *out = OpenFileStream("C:\\APP\\out.bin", "wb");
  ASSERT_NE(out, nullptr);
  size_t written = fwrite(data, 1, size, out);
  munmap(region, mapped);
  EXPECT_LT(written, size);
  EXPECT_TRUE(ferror(out));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
  EXPECT_EQ(fclose(out), EOF);
  EXPECT_LT(Read("APP/out.bin").size(), size);
  EXPECT_LE(written, Read("APP/out.bin").size());  // no byte claimed that did not arrive

  setenv("SIMWIN_FAIL", "StreamWrite:1", 1);  // the failure at the flush of the close
  Restart();
  out = OpenFileStream("C:\\APP\\small.txt", "wb");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(fwrite("small", 1, 5, out), 5u);
  EXPECT_EQ(fclose(out), EOF);
}

TEST_F(SimFaults, ReadSeekCloseAndOpenFaults) {
  Write("APP/in.txt", "content");
  setenv("SIMWIN_FAIL", "StreamRead:1,StreamSeek:1,StreamClose:1,OpenFileStream:2", 1);
  Restart();
  FILE *in = OpenFileStream("C:\\APP\\in.txt", "rb");
  ASSERT_NE(in, nullptr);
  char buffer[16];
  EXPECT_EQ(fread(buffer, 1, sizeof buffer, in), 0u);
  EXPECT_TRUE(ferror(in));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_READ_FAULT);
  clearerr(in);
  EXPECT_NE(fseek(in, 0, SEEK_SET), 0);
  EXPECT_EQ(fseek(in, 0, SEEK_SET), 0);
  EXPECT_EQ(fread(buffer, 1, sizeof buffer, in), 7u);
  EXPECT_EQ(fclose(in), EOF);  // and the descriptor is gone all the same
  EXPECT_EQ(OpenFileStream("C:\\APP\\in.txt", "rb"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(SimFaults, CallCountsAreWrittenWhenTheProcessEnds) {
  InstallChild("APP/child.exe");
  std::string calls = root_ + "/calls.txt";
  int code = Run({Host("APP/child.exe")},
                 {"SIMWIN_ROOT=" + root_, "SIMWIN_TEST_CHILD=exit", "SIMWIN_CALLS=" + calls});
  EXPECT_EQ(code, 3);  // ExitProcess(3)
  std::ifstream in(calls);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"GetWindowsDirectoryA 2", "DeleteFileA 1"}));
}

// ---------------------------------------------------------------- processes

using SimProcesses = SimTest;

TEST_F(SimProcesses, TheStartedProgramGetsItsCommandLineArgumentsAndFolder) {
  InstallChild("APP/child.exe");
  std::filesystem::create_directories(Host("Work Dir"));
  setenv("SIMWIN_ROOT", root_.c_str(), 1);
  setenv("SIMWIN_TEST_CHILD", "report", 1);
  setenv("SIMWIN_TEST_REPORT", (root_ + "/report.txt").c_str(), 1);
  setenv("SIMWIN_FAIL", "WinExec:99", 1);  // ours, not the child's
  Restart();
  char command[] = R"("C:\app\\CHILD.EXE" a "b c" d\"e f\\"g h" i\\j "" k)";
  STARTUPINFOA startup = {};
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(
      CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, "c:\\work dir", &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 30000), (DWORD)WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));
  EXPECT_EQ(ReportValue("cmdline"), command);
  EXPECT_EQ(ReportValue("arguments"), R"(a "b c" d\"e f\\"g h" i\\j "" k)");
  EXPECT_EQ(ReportArgs(),
            (std::vector<std::string>{"a", "b c", "d\"e", "f\\g h", "i\\\\j", "", "k"}));
  EXPECT_EQ(ReportValue("cwd"), "C:\\Work Dir");
  EXPECT_EQ(ReportValue("module"), "C:\\APP\\child.exe");
  EXPECT_EQ(ReportValue("show"), "5");
  EXPECT_EQ(ReportValue("inherited"), "<none>");
}

TEST_F(SimProcesses, WinExecStartsInOurFolderAndDoesNotWait) {
  InstallChild("APP/child.exe");
  std::filesystem::create_directories(Host("Here"));
  setenv("SIMWIN_ROOT", root_.c_str(), 1);
  setenv("SIMWIN_TEST_CHILD", "report", 1);
  setenv("SIMWIN_TEST_REPORT", (root_ + "/report.txt").c_str(), 1);
  ASSERT_EQ(chdir(Host("Here").c_str()), 0);
  EXPECT_EQ(WinExec("C:\\APP\\\\child.exe /S install.log", SW_SHOW), 33u);
  for (int i = 0; i < 300 && ReportValue("cwd") == "<none>"; i++) Sleep(100);
  EXPECT_EQ(ReportValue("cwd"), "C:\\Here");
  EXPECT_EQ(ReportValue("cmdline"), "C:\\APP\\\\child.exe /S install.log");
  EXPECT_EQ(ReportValue("arguments"), "/S install.log");
}

TEST_F(SimProcesses, WaitTimesOutOnARunningProgram) {
  InstallChild("APP/child.exe");
  setenv("SIMWIN_ROOT", root_.c_str(), 1);
  setenv("SIMWIN_TEST_CHILD", "sleep", 1);
  setenv("SIMWIN_TEST_REPORT", (root_ + "/report.txt").c_str(), 1);
  char command[] = "C:\\APP\\child.exe";
  STARTUPINFOA startup = {};
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 100), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), (DWORD)WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), (DWORD)WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_FALSE(CloseHandle(info.hProcess));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(info.hThread));
}

TEST_F(SimProcesses, NothingStartsWithoutAnExecutableFile) {
  Write("APP/data.txt", "not a program");
  std::filesystem::create_directories(Host("APP/dir"));
  const struct {
    const char *command;
    DWORD error;
  } cases[] = {
      {"C:\\APP\\missing.exe /x", ERROR_FILE_NOT_FOUND},
      {"C:\\APP\\data.txt", ERROR_ACCESS_DENIED},
      {"C:\\APP\\dir", ERROR_ACCESS_DENIED},
  };
  for (const auto &c : cases) {
    std::string command = c.command;
    STARTUPINFOA startup = {};
    PROCESS_INFORMATION info = {};
    SetLastError(0);
    EXPECT_FALSE(
        CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
    EXPECT_EQ(GetLastError(), c.error) << c.command;
    EXPECT_EQ(WinExec(c.command, SW_SHOW), c.error) << c.command;
  }
}

// ------------------------------------------------------------ program entry

using SimEntry = SimTest;

TEST_F(SimEntry, ThePlainCommandLineIsTheQuotedModuleAndTheArguments) {
  InstallChild("Program Files/Korv App/child.exe");
  std::string report = root_ + "/report.txt";
  int code = Run(
      {Host("Program Files/Korv App/child.exe"), "-NoRename", "x"},
      {"SIMWIN_ROOT=" + root_, "SIMWIN_TEST_CHILD=delete-self", "SIMWIN_TEST_REPORT=" + report});
  EXPECT_EQ(code, 42);  // what WinMain returned
  EXPECT_EQ(ReportValue("cmdline"), "\"C:\\Program Files\\Korv App\\child.exe\" -NoRename x");
  EXPECT_EQ(ReportValue("arguments"), "-NoRename x");
  EXPECT_EQ(ReportValue("module"), "C:\\Program Files\\Korv App\\child.exe");
  EXPECT_EQ(ReportValue("delete-self"), "0 5");  // the running image cannot be deleted
}

TEST_F(SimEntry, WithoutAMachineAroundItTheProgramTouchesNothing) {
  InstallChild("APP/child.exe");
  std::string report = root_ + "/report.txt", calls = root_ + "/calls.txt";
  std::string err;
  // No SIMWIN_ROOT.
  EXPECT_EQ(
      Run({Host("APP/child.exe")},
          {"SIMWIN_TEST_CHILD=report", "SIMWIN_TEST_REPORT=" + report, "SIMWIN_CALLS=" + calls},
          &err),
      2);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  // A program that does not lie below the machine's drive_c.
  EXPECT_EQ(Run({"/proc/self/exe"},
                {"SIMWIN_ROOT=" + root_, "SIMWIN_TEST_CHILD=report", "SIMWIN_TEST_REPORT=" + report,
                 "SIMWIN_CALLS=" + calls},
                &err),
            2);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  struct stat st;
  EXPECT_NE(stat(report.c_str(), &st), 0);
  EXPECT_NE(stat(calls.c_str(), &st), 0);
}

// ------------------------------------------------------------ message boxes

using SimMessageBox = SimTest;

TEST_F(SimMessageBox, ScriptedAnswersAreTakenInOrderThenDefaults) {
  setenv("SIMWIN_ANSWERS", "yes,ok,yes,maybe,no", 1);
  Restart();
  const struct {
    UINT style;
    int answer;
  } boxes[] = {
      {MB_TASKMODAL | MB_ICONQUESTION | MB_YESNO, IDYES},
      {MB_ICONINFORMATION, IDOK},
      {MB_ICONERROR, IDOK},  // "yes" does not fit an OK box: used up
      {MB_YESNO, IDNO},      // "maybe" fits nothing
      {MB_YESNO, IDNO},
      {MB_YESNO, IDNO},  // the list has run out
      {MB_OK, IDOK},
  };
  for (const auto &box : boxes)
    EXPECT_EQ(MessageBoxA(NULL, "text", "caption", box.style), box.answer);
}

TEST_F(SimMessageBox, WithoutAScriptOrTerminalBoxesTakeTheirDefault) {
  int saved = dup(0);
  int null = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(null, 0), 0);
  EXPECT_EQ(MessageBoxA(NULL, "Sure?", "Question", MB_YESNO), IDNO);
  EXPECT_EQ(MessageBoxA(NULL, "Done.", "Info", MB_ICONINFORMATION), IDOK);
  dup2(saved, 0);
  close(saved);
  close(null);
}

TEST_F(SimMessageBox, TheTranscriptHoldsOneJsonLinePerBox) {
  std::string transcript = root_ + "/transcript.jsonl";
  setenv("SIMWIN_TRANSCRIPT", transcript.c_str(), 1);
  setenv("SIMWIN_ANSWERS", "yes", 1);
  Restart();
  MessageBoxA(NULL, "Are you \"sure\"?\n", "Uninstall Korvane Quillfen?", 0x2024);
  MessageBoxA(NULL, "C:\\APP\\\r\n\ttab\x01 caf\xe9", "Info", MB_ICONINFORMATION);
  EXPECT_EQ(
      Read("../transcript.jsonl"),
      "{\"caption\": \"Uninstall Korvane Quillfen?\", \"text\": \"Are you \\\"sure\\\"?\\n\", "
      "\"style\": 8228, \"answer\": 6}\n"
      "{\"caption\": \"Info\", \"text\": \"C:\\\\APP\\\\\\r\\n\\ttab\\u0001 caf\\u00e9\", "
      "\"style\": 64, \"answer\": 1}\n");
}

}  // namespace
