// Where tests find the shared real-data fixtures (tokenizer files, chat templates).
// They live beside the project at ../shared/fixtures and are never copied into it;
// a test that needs one skips, saying why, when the folder is absent.
#pragma once

#include <filesystem>

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

}  // namespace testsupport

// Skips the current test when the fixture file or folder is missing.
#define PARLET_REQUIRE_FIXTURE(path)                                                   \
  do {                                                                                 \
    if (!std::filesystem::exists(path))                                                \
      GTEST_SKIP() << "fixture " << (path) << " is absent (shared/fixtures not beside the project)"; \
  } while (0)
