// The boot-time deletion list: what other programs left in it survives, and
// the entries land where Windows will carry them out.
#include <dirent.h>

#include <string>
#include <vector>

#include "machine_fixture.h"
#include "uninstall.h"

namespace {

const char kList[] = "C:\\WINDOWS\\wininit.ini";

class BootListTest : public MachineTest {
 protected:
  bool Schedule(const char *directory, const char *name) {
    return ScheduleDeleteAtBoot(kList, directory, name);
  }
  std::string List() const { return Read("windows/wininit.ini"); }

  // Only the list itself may be left in the Windows directory.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    for (auto &entry : std::filesystem::directory_iterator(Host("windows"))) {
      std::string name = entry.path().filename();
      if (name != "wininit.ini" && name != "system") names.push_back(name);
    }
    return names;
  }
};

TEST_F(BootListTest, NewListGetsTheSectionHeadOnceAndEntriesInOrder) {
  EXPECT_TRUE(Schedule("C:\\WINDOWS\\SYSTEM\\", "QUILLFEN.CPL"));
  EXPECT_TRUE(Schedule("C:\\PROGRA~1\\APP\\", "UNINSTAL.EXE"));
  EXPECT_EQ(List(),
            "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\QUILLFEN.CPL\r\n"
            "NUL=C:\\PROGRA~1\\APP\\UNINSTAL.EXE\r\n");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(BootListTest, ExistingListsAreKeptAndExtendedInTheFirstRenameSection) {
  const std::string longLine = "NUL=C:\\" + std::string(300, 'L');
  struct {
    const char *what;
    std::string before, after;
  } cases[] = {
      {"other programs' entries", "[rename]\r\nNUL=C:\\A.TXT\r\nC:\\NEW=C:\\OLD\r\n",
       "[rename]\r\nNUL=C:\\A.TXT\r\nC:\\NEW=C:\\OLD\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"bare line feeds", "[rename]\nNUL=C:\\A.TXT\n",
       "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"no line end on the last line", "[rename]\r\nNUL=C:\\A.TXT",
       "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"Ctrl-Z and what follows", "[rename]\r\nNUL=C:\\A.TXT\r\n\x1AJUNK\r\n",
       "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"a line of 300 characters", "[rename]\r\n" + longLine + "\r\n",
       "[rename]\r\n" + longLine + "\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"lower-case head", "[Rename]\r\nNUL=C:\\A.TXT\r\n",
       "[Rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"another section after it", "[rename]\r\nNUL=C:\\A.TXT\r\n[other]\r\nx=1\r\n",
       "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n[other]\r\nx=1\r\n"},
      {"a second rename section", "[rename]\r\nNUL=C:\\A.TXT\r\n[x]\r\n[rename]\r\nNUL=C:\\B\r\n",
       "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n[x]\r\n[rename]\r\nNUL=C:\\B\r\n"},
      {"no rename section", "[other]\r\nx=1", "[other]\r\nx=1\r\n[rename]\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"empty file", "", "[rename]\r\nNUL=C:\\X\\F.DLL\r\n"},
      {"NUL bytes kept", std::string("[rename]\r\nA=\0B\r\n", 15),
       std::string("[rename]\r\nA=\0B\r\nNUL=C:\\X\\F.DLL\r\n", 32)},
  };
  for (auto &c : cases) {
    Write("windows/wininit.ini", c.before);
    EXPECT_TRUE(Schedule("C:\\X\\", "F.DLL")) << c.what;
    EXPECT_EQ(List(), c.after) << c.what;
    EXPECT_TRUE(Leftovers().empty()) << c.what;
  }
}

TEST_F(BootListTest, AFailureAnywhereLeavesTheOldListWhole) {
  const std::string before = "[rename]\r\nNUL=C:\\A.TXT\r\n[other]\r\nx=1\r\n";
  const std::string after = "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n[other]\r\nx=1\r\n";
  for (const char *op : {"CreateNewFileStream", "OpenFileStream", "StreamRead", "StreamWrite",
                         "StreamClose", "MoveFileExA", "GetFileAttributesA"}) {
    for (int k = 1; k <= 3; k++) {
      std::string fault = std::string(op) + ":" + std::to_string(k);
      Write("windows/wininit.ini", before);
      InjectFaults(fault);
      bool scheduled = Schedule("C:\\X\\", "F.DLL");
      ClearFaults();
      EXPECT_EQ(List(), scheduled ? after : before) << fault;
      EXPECT_TRUE(Leftovers().empty()) << fault;
    }
  }
}

TEST_F(BootListTest, WithoutAReplacingRenameTheNewListStillTakesThePlace) {
  // Windows 9x has no MoveFileEx: the old list is deleted, then the new one
  // renamed into its place.
  Write("windows/wininit.ini", "[rename]\r\nNUL=C:\\A.TXT\r\n");
  InjectFaults("MoveFileExA:1:120");
  EXPECT_TRUE(Schedule("C:\\X\\", "F.DLL"));
  EXPECT_EQ(List(), "[rename]\r\nNUL=C:\\A.TXT\r\nNUL=C:\\X\\F.DLL\r\n");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(BootListTest, AListThatCannotBeReadIsLeftAlone) {
  Write("windows/wininit.ini", "[rename]\r\nNUL=C:\\A.TXT\r\n");
  InjectFaults("OpenFileStream:1");
  EXPECT_FALSE(Schedule("C:\\X\\", "F.DLL"));
  EXPECT_EQ(List(), "[rename]\r\nNUL=C:\\A.TXT\r\n");
  EXPECT_TRUE(Leftovers().empty());
}

}  // namespace
