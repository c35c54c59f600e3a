// A test fixture that works in a directory of its own under the system's temporary directory,
// removed with everything in it after the test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace vortane::testing {

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    directory_ = std::filesystem::temp_directory_path() /
                 ("vortane-platform-" + std::to_string(random()) + "-" + std::to_string(random()));
    ASSERT_TRUE(std::filesystem::create_directory(directory_));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  // The native path of `name` in the directory.
  std::filesystem::path::string_type Path(const std::string& name) const {
    return (directory_ / name).native();
  }

  // Writes `bytes` as the whole content of `name`.
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream out(directory_ / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << name;
  }

  // The whole content of `name`; empty when it cannot be read.
  std::string Get(const std::string& name) const {
    std::ifstream in(directory_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::filesystem::path directory_;
};

}  // namespace vortane::testing
