// Putting the saved system library back: it comes back whole or not at all.
#include <string>

#include "machine_fixture.h"
#include "uninstall.h"

namespace {

class RestoreTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    snprintf(SystemDir, sizeof SystemDir, "C:\\WINDOWS\\SYSTEM\\");
    snprintf(InstallDir, sizeof InstallDir, "C:\\APP\\");
    Write("windows/system/opengl32.dll", "the product's library");
    Write("app/opengl32.prv", saved_);
  }
  // Everything in the system folder but the library itself.
  std::vector<std::string> Strays() const {
    std::vector<std::string> names;
    for (auto &entry : std::filesystem::directory_iterator(Host("windows/system"))) {
      std::string name = entry.path().filename();
      if (name != "opengl32.dll") names.push_back(name);
    }
    return names;
  }

  const std::string saved_ = Pattern(3 * 32767 + 10, 7);
};

TEST_F(RestoreTest, TheSavedLibraryComesBackByteForByte) {
  Write("app/opengl32.vr1", "1");
  Write("windows/system/qxhelp.vxd", "v");
  EXPECT_TRUE(RestoreSystemOpenGL());
  EXPECT_EQ(Read("windows/system/opengl32.dll"), saved_);
  EXPECT_FALSE(Exists("app/opengl32.vr1"));
  EXPECT_FALSE(Exists("windows/system/qxhelp.vxd"));
  EXPECT_TRUE(Exists("app/opengl32.prv"));
  EXPECT_TRUE(Strays().empty());
}

TEST_F(RestoreTest, ACopyThatFailsLeavesNoPartialLibrary) {
  // Reads and writes that fail at the first block, in the middle and at the
  // last; a disk that fills up part-way; a copy that cannot be closed or
  // renamed into place.
  for (const char *fault : {"StreamRead:1", "StreamRead:2", "StreamRead:4", "StreamWrite:1",
                            "StreamWrite:3:112", "StreamWrite:4:112", "StreamClose:2",
                            "CreateNewFileStream:1", "MoveFileA:1", "OpenFileStream:1"}) {
    Write("windows/system/opengl32.dll", "the product's library");
    InjectFaults(fault);
    EXPECT_FALSE(RestoreSystemOpenGL()) << fault;
    EXPECT_FALSE(Exists("windows/system/opengl32.dll")) << fault;
    EXPECT_TRUE(Strays().empty()) << fault;
  }
}

TEST_F(RestoreTest, WithoutASavedCopyTheLibraryGoesAndNothingTakesItsPlace) {
  std::filesystem::remove(Host("app/opengl32.prv"));
  EXPECT_TRUE(RestoreSystemOpenGL());
  EXPECT_FALSE(Exists("windows/system/opengl32.dll"));
}

TEST_F(RestoreTest, AMissingOrReadOnlyLibraryIsLeftAlone) {
  MakeReadOnly("windows/system/opengl32.dll");
  EXPECT_FALSE(RestoreSystemOpenGL());
  EXPECT_EQ(Read("windows/system/opengl32.dll"), "the product's library");
  std::filesystem::remove(Host("windows/system/opengl32.dll"));
  EXPECT_FALSE(RestoreSystemOpenGL());
  EXPECT_FALSE(Exists("windows/system/opengl32.dll"));
}

}  // namespace
