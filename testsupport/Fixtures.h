// Where tests find the shared real-data fixtures (tokenizer files, chat templates).
// They live beside the project at ../shared/fixtures and are never copied into it;
// a test that needs one skips, saying why, when the folder is absent.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/System/Environment.h"

namespace testsupport {

inline std::filesystem::path sourceDir() { return PARLET_SOURCE_DIR; }

inline std::filesystem::path fixturesDir() { return sourceDir() / ".." / "shared" / "fixtures"; }

// A fresh empty folder under the system temporary directory, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A tmpfs of `size` ("2m") mounted at `at` (created) for a full or read-only disk that is real;
// unmounted when the object goes, before the folder holding it. Mounting needs root: a test
// checks mounted() and skips with why() otherwise.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& at, const std::string& size);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  // False, with why() set, where the remount is refused.
  bool makeReadOnly();

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
  std::string why_;
};

// Sets or clears environment variables for one test and restores them, last change first, when it goes.
class EnvironmentGuard {
 public:
  EnvironmentGuard() = default;
  EnvironmentGuard(const EnvironmentGuard&) = delete;
  EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;
  ~EnvironmentGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) platform::system::setEnvironmentVariable(it->first, it->second);
  }
  // Changes go through the environment's lock: threads the test started may be reading it.
  void set(const std::string& name, const std::optional<std::string>& value) {
    keep(name);
    platform::system::setEnvironmentVariable(name, value);
  }
  // Restores `name` on destruction, however the test changes it meanwhile.
  void keep(const std::string& name) { saved_.emplace_back(name, platform::system::environmentVariable(name.c_str())); }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace testsupport

// Skips the current test when the fixture file or folder is missing.
#define PARLET_REQUIRE_FIXTURE(path)                                                   \
  do {                                                                                 \
    if (!std::filesystem::exists(path))                                                \
      GTEST_SKIP() << "fixture " << (path) << " is absent (shared/fixtures not beside the project)"; \
  } while (0)
