// A folder of the running test's own under the build tree, for the firmware
// tests that read files from disk.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

// Emptied first and removed at the end.
struct TScratchDir {
  TScratchDir() {
    const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(t->test_suite_name()) + "_" + t->name();
    std::replace(name.begin(), name.end(), '/', '_');
    Dir = std::filesystem::path(KVZ_BINARY_DIR) / "tests" / "firmware" / name;
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
  }
  ~TScratchDir() { std::filesystem::remove_all(Dir); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(Dir / name, std::ios::binary) << text;
    return (Dir / name).string();
  }
  std::filesystem::path Dir;
};
