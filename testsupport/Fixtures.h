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
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
      else unsetenv(it->first.c_str());
    }
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
  }
  // Restores `name` on destruction, however the test changes it meanwhile.
  void keep(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }

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
