#include "testsupport/Fixtures.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace testsupport {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "parlet-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

SmallFileSystem::SmallFileSystem(const std::filesystem::path& at, const std::string& size) : at_(at) {
  std::filesystem::create_directories(at);
  const std::string options = "size=" + size + ",mode=0755";
  mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
  if (!mounted_) why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

bool SmallFileSystem::makeReadOnly() {
  if (::mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0) return true;
  why_ = std::string("cannot make the tmpfs read-only: ") + std::strerror(errno);
  return false;
}

}  // namespace testsupport
