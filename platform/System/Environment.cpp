#include "platform/System/Environment.h"

#include <cstdlib>
#include <mutex>

namespace platform::system {
namespace {

std::mutex& environmentMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::optional<std::string> environmentVariable(const char* name) {
  std::lock_guard lock(environmentMutex());
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  std::lock_guard lock(environmentMutex());
  if (value) setenv(name.c_str(), value->c_str(), 1);
  else unsetenv(name.c_str());
}

}  // namespace platform::system
