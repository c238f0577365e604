// Path strings, the argument rule, the command line and the block-wise copy.
#include <string.h>
#include <unistd.h>

#include <string>

#include "machine_fixture.h"
#include "uninstall.h"

namespace {

TEST(DirectoryStrings, DirectoryOfKeepsEverythingUpToTheLastBackslash) {
  struct {
    const char *path, *expected;
  } cases[] = {{"C:\\A\\B\\X.EXE", "C:\\A\\B\\"}, {"X.EXE", ""}, {"C:\\", "C:\\"}, {"", ""}};
  for (auto &c : cases) {
    char out[MAX_PATH];
    EXPECT_TRUE(DirectoryOf(c.path, out, sizeof out)) << c.path;
    EXPECT_STREQ(out, c.expected) << c.path;
  }
}

TEST(DirectoryStrings, AddBackslashAppendsExactlyOne) {
  struct {
    const char *path, *expected;
  } cases[] = {{"C:\\A\\", "C:\\A\\"}, {"C:\\A", "C:\\A\\"}, {"", "\\"}};
  for (auto &c : cases) {
    char buffer[MAX_PATH];
    snprintf(buffer, sizeof buffer, "%s", c.path);
    EXPECT_TRUE(AddBackslash(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, c.expected);
  }
}

TEST(DirectoryStrings, NothingIsWrittenPastTheBuffer) {
  char guarded[8 + 4];
  memset(guarded, '#', sizeof guarded);
  memcpy(guarded, "C:\\ABCD", 8);  // 7 characters and the terminator fill 8 bytes
  EXPECT_FALSE(AddBackslash(guarded, 8));
  EXPECT_STREQ(guarded, "C:\\ABCD");
  EXPECT_EQ(std::string(guarded + 8, 4), "####");

  char small[6];
  EXPECT_FALSE(DirectoryOf("C:\\LONGER\\X.EXE", small, sizeof small));
  EXPECT_STREQ(small, "");
  EXPECT_FALSE(JoinPath(small, sizeof small, "C:\\A\\", "B.TXT"));
  EXPECT_STREQ(small, "");
}

TEST(ArgumentRule, TakesTheProgramNameOff) {
  struct {
    const char *commandLine, *arguments;
  } cases[] = {
      {"C:\\APP\\UNINSTAL.EXE", ""},
      {"C:\\APP\\UNINSTAL.EXE -norename", "-norename"},
      {"  \tUNINSTAL.EXE \t -NoRename", "-NoRename"},
      {"\"C:\\Program Files\\Korv App\\UNINSTAL.EXE\" -norename", "-norename"},
      {"\"C:\\Program Files\\Korv App\\UNINSTAL.EXE\"-norename", "-norename"},
      {"UNINSTAL.EXE -norename ", "-norename "},
      {"UNINSTAL.EXE -norename x", "-norename x"},
      {"\"C:\\No End Quote\\UNINSTAL.EXE", ""},
      {"UNINSTAL.EXE\t-norename", "-norename"},
      {"", ""},
  };
  for (auto &c : cases) EXPECT_STREQ(ArgumentString(c.commandLine), c.arguments) << c.commandLine;
}

TEST(ArgumentRule, NorenameIsMatchedWholeAndWithoutRegardToCase) {
  EXPECT_TRUE(SameTextIgnoringCase("-NORENAME", "-norename"));
  EXPECT_TRUE(SameTextIgnoringCase("-NoRename", "-norename"));
  EXPECT_FALSE(SameTextIgnoringCase("-norename ", "-norename"));
  EXPECT_FALSE(SameTextIgnoringCase("-norename x", "-norename"));
  EXPECT_FALSE(SameTextIgnoringCase("-norenam", "-norename"));
  EXPECT_FALSE(SameTextIgnoringCase("", "-norename"));
}

TEST(CommandLine, IsBuiltAsTheEngineExpectsIt) {
  struct {
    const char *directory, *program, *arguments, *expected;
  } cases[] = {
      {NULL, "x.exe", "/y", "x.exe /y"},
      {"C:\\APP\\", "\\uninstal.000", "/S install.log", "C:\\APP\\\\uninstal.000 /S install.log"},
      {"C:\\Program Files\\Korv App\\", "\\uninstal.000", "/S install.log",
       "\"C:\\Program Files\\Korv App\\\\uninstal.000\" /S install.log"},
  };
  for (auto &c : cases) {
    char out[256];
    EXPECT_TRUE(BuildCommandLine(out, sizeof out, c.directory, c.program, c.arguments));
    EXPECT_STREQ(out, c.expected);
  }
}

TEST(CommandLine, ThatDoesNotFitIsNotBuiltAtAll) {
  std::string directory = "C:\\" + std::string(236, 'D') + "\\";  // 240 characters
  char out[512];
  // 240 + 13 + 1 + 14 = 268 characters: more than a command line may hold.
  EXPECT_FALSE(
      BuildCommandLine(out, sizeof out, directory.c_str(), "\\uninstal.000", "/S install.log"));
  EXPECT_STREQ(out, "");
  EXPECT_EQ(LaunchProgram(directory.c_str(), "\\uninstal.000", "/S install.log", NULL), nullptr);
}

class CopyTest : public MachineTest {};

TEST_F(CopyTest, CopiesEverySizeAroundTheBlockExactly) {
  for (size_t size :
       {0, 1, 100, 32766, 32767, 32768, 2 * 32767 + 4, 3 * 32767, 5 * 1024 * 1024 + 3}) {
    std::string data = Pattern(size, (unsigned)size);
    Write("src.bin", data);
    Write("dst.bin", "old content that is longer than some of the copies");
    ASSERT_TRUE(CopyFileInBlocks("C:\\src.bin", "C:\\DST.BIN")) << size;
    EXPECT_EQ(Read("dst.bin"), data) << size;
  }
}

TEST_F(CopyTest, FailsWithoutSourceOrWritableDestination) {
  Write("src.bin", "data");
  EXPECT_FALSE(CopyFileInBlocks("C:\\missing.bin", "C:\\dst.bin"));
  EXPECT_FALSE(Exists("dst.bin"));
  Write("ro.bin", "keep");
  MakeReadOnly("ro.bin");
  EXPECT_FALSE(CopyFileInBlocks("C:\\src.bin", "C:\\ro.bin"));
  EXPECT_EQ(Read("ro.bin"), "keep");
}

TEST_F(CopyTest, ProbesTellFilesDirectoriesAndReadOnly) {
  Write("app/plain.txt", "x");
  Write("app/locked.txt", "x");
  MakeReadOnly("app/locked.txt");
  EXPECT_TRUE(FileExists("C:\\APP\\", "PLAIN.TXT"));
  EXPECT_TRUE(FileExists("C:\\", "app"));
  EXPECT_FALSE(FileExists("C:\\APP\\", "missing.txt"));
  EXPECT_TRUE(FileWritable("C:\\APP\\", "plain.txt"));
  EXPECT_FALSE(FileWritable("C:\\APP\\", "locked.txt"));
  EXPECT_FALSE(FileWritable("C:\\APP\\", "missing.txt"));
}

TEST_F(CopyTest, TemporaryFilesPassOverNamesThatExist) {
  Write("dir/~qfn0000.tmp", "somebody else's");
  ASSERT_EQ(symlink("/etc/hostname", Host("dir/~qfn0001.tmp").c_str()), 0);
  char path[MAX_PATH];
  FILE *stream = CreateTempFileIn("C:\\dir\\", path, sizeof path);
  ASSERT_NE(stream, nullptr);
  EXPECT_STREQ(path, "C:\\dir\\~qfn0002.tmp");
  fputs("ours", stream);
  EXPECT_TRUE(FinishStream(stream));
  EXPECT_EQ(Read("dir/~qfn0000.tmp"), "somebody else's");
  EXPECT_EQ(Read("dir/~qfn0002.tmp"), "ours");
}

}  // namespace
