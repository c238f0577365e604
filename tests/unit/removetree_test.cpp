// Removing the install directory: what goes, what stays, and what is never
// touched.
#include <string>

#include "machine_fixture.h"
#include "uninstall.h"

namespace {

class RemoveTreeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    snprintf(WindowsDir, sizeof WindowsDir, "C:\\WINDOWS\\");
    snprintf(SystemDir, sizeof SystemDir, "C:\\WINDOWS\\SYSTEM\\");
  }
};

TEST_F(RemoveTreeTest, RemovesEverythingThatCanGoDepthFirst) {
  Write("app/a.txt", "a");
  Write("app/.cfg", "dot");
  Write("app/sub/b.txt", "b");
  Write("app/sub/deeper/c.txt", "c");
  Write("app/sub/deeper/d.txt", "d");
  std::filesystem::create_directories(Host("app/empty"));
  MakeReadOnly("app/a.txt");
  MakeReadOnly("app/sub/deeper/c.txt");
  RemoveTree("C:\\APP\\");
  EXPECT_FALSE(Exists("app"));
}

TEST_F(RemoveTreeTest, WhatIsInUseStaysWithItsFoldersAndTheWalkEnds) {
  for (int i = 0; i < 5; i++) {
    Write("app/s" + std::to_string(i) + "/f.txt", "x");
    Write("app/f" + std::to_string(i) + ".txt", "x");
  }
  Write("app/s2/held/inner.txt", "held");
  Hold("app/s2/held/inner.txt");
  RemoveTree("C:\\APP\\");
  EXPECT_TRUE(Exists("app/s2/held/inner.txt"));
  for (int i = 0; i < 5; i++) {
    EXPECT_FALSE(Exists("app/f" + std::to_string(i) + ".txt"));
    if (i != 2) {
      EXPECT_FALSE(Exists("app/s" + std::to_string(i)));
    }
  }
  EXPECT_FALSE(Exists("app/s2/f.txt"));
}

TEST_F(RemoveTreeTest, LinksAreRemovedNeverFollowed) {
  Write("data/keep.txt", "keep");
  Write("data/sub/keep2.txt", "keep");
  Write("app/x.txt", "x");
  ASSERT_EQ(symlink(Host("data").c_str(), Host("app/to-dir").c_str()), 0);
  ASSERT_EQ(symlink(Host("data/keep.txt").c_str(), Host("app/to-file").c_str()), 0);
  ASSERT_EQ(symlink(Host("app").c_str(), Host("app/loop").c_str()), 0);
  RemoveTree("C:\\APP\\");
  EXPECT_FALSE(Exists("app"));
  EXPECT_EQ(Read("data/keep.txt"), "keep");
  EXPECT_EQ(Read("data/sub/keep2.txt"), "keep");
}

TEST_F(RemoveTreeTest, EntriesBeyondThePathLimitAreLeftAlone) {
  // Folders nested until their paths pass 259 characters.
  std::string below = "app";
  std::string windows = "C:\\APP";
  while (windows.size() < 300) {
    below += "/" + std::string(20, 'n');
    windows += "\\" + std::string(20, 'n');
  }
  Write(below + "/" + std::string(50, 'f') + ".txt", "deep");
  Write("app/top.txt", "top");
  RemoveTree("C:\\APP\\");
  EXPECT_FALSE(Exists("app/top.txt"));
  EXPECT_TRUE(Exists(below + "/" + std::string(50, 'f') + ".txt"));
}

TEST_F(RemoveTreeTest, DrivesAndSystemFoldersAreNeverRemoved) {
  struct {
    const char *directory;
    bool isProtected;
  } cases[] = {
      {"C:\\", true},
      {"D:\\", true},
      {"\\\\server\\share\\", true},
      {"C:\\WINDOWS\\", true},
      {"c:\\windows\\system\\", true},
      {"C:\\WINDOWS\\SYSTEM\\", true},
      {"C:\\APP\\", false},
      {"C:\\WINDOWS\\SYSTEM\\APP\\", false},
      {"C:\\WIN\\", false},
      {"\\\\server\\share\\app\\", false},
  };
  for (auto &c : cases) EXPECT_EQ(IsProtectedDirectory(c.directory), c.isProtected) << c.directory;
}

}  // namespace
