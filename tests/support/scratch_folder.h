// A scratch folder of the running test's own, for tests that write files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace zarnik::testing {

// Under the temporary folder, named by kind, process and test, and empty: what an
// earlier run left there is removed first.
inline std::filesystem::path ScratchFolder(const std::string& kind) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("zarnik-" + kind + "-" + std::to_string(getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace zarnik::testing
