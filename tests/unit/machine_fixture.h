// A fresh simulated machine in a temporary folder for each test.
#ifndef QUILLFEN_TESTS_MACHINE_FIXTURE_H
#define QUILLFEN_TESTS_MACHINE_FIXTURE_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform.h"

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillfen-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/drive_c/windows/system");
    ASSERT_TRUE(SimSetRoot(root_.c_str()));
  }

  void TearDown() override {
    Release();
    ClearFaults();
    // Read-only folders would keep their files from being removed.
    std::error_code ignored;
    for (auto &entry : std::filesystem::recursive_directory_iterator(root_, ignored)) {
      if (!entry.is_symlink()) chmod(entry.path().c_str(), 0755);
    }
    std::filesystem::remove_all(root_, ignored);
  }

  // Host path of a path below C:\ given with forward slashes.
  std::string Host(const std::string &below_c) const { return root_ + "/drive_c/" + below_c; }

  void Write(const std::string &below_c, const std::string &content) const {
    std::filesystem::create_directories(std::filesystem::path(Host(below_c)).parent_path());
    std::ofstream out(Host(below_c), std::ios::binary);
    out << content;
  }

  std::string Read(const std::string &below_c) const {
    std::ifstream in(Host(below_c), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool Exists(const std::string &below_c) const {
    struct stat st;
    return lstat(Host(below_c).c_str(), &st) == 0;
  }

  void MakeReadOnly(const std::string &below_c) const { chmod(Host(below_c).c_str(), 0444); }

  // Restarts the machine with these faults to inject ("Op:k[:error],...").
  void InjectFaults(const std::string &faults) {
    setenv("SIMWIN_FAIL", faults.c_str(), 1);
    ASSERT_TRUE(SimSetRoot(root_.c_str()));
  }
  void ClearFaults() {
    unsetenv("SIMWIN_FAIL");
    SimSetRoot(root_.c_str());
  }

  // Another process holds the file open (an flock, as `flock -s` takes),
  // as a program that has it open would, until Release or the test's end.
  void Hold(const std::string &below_c) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    holder_ = fork();
    if (holder_ == 0) {
      int fd = open(Host(below_c).c_str(), O_RDONLY);
      if (fd < 0 || flock(fd, LOCK_SH) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
  }
  void Release() {
    if (holder_ > 0) {
      kill(holder_, SIGKILL);
      waitpid(holder_, nullptr, 0);
      holder_ = 0;
    }
  }

  std::string root_;
  pid_t holder_ = 0;
};

// Bytes that differ from one position to the next, so a shifted or cut copy
// shows.
inline std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++) data[i] = (char)((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
  return data;
}

#endif
