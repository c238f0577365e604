// A fresh simulated machine in a temporary folder for each test.
#ifndef QUILLFEN_TESTS_MACHINE_FIXTURE_H
#define QUILLFEN_TESTS_MACHINE_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

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

  std::string root_;
};

// Bytes that differ from one position to the next, so a shifted or cut copy
// shows.
inline std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++) data[i] = (char)((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
  return data;
}

#endif
