// Environment variables read and changed under one process-wide lock. getenv is not safe while
// another thread calls setenv or unsetenv, which may move the table it walks; code that may read
// the environment off the main thread, and code that changes it while threads run, go through here.
//   if (auto endpoint = platform::system::environmentVariable("HF_ENDPOINT")) use(*endpoint);
#pragma once

#include <optional>
#include <string>

namespace platform::system {

std::optional<std::string> environmentVariable(const char* name);

// Sets `name` to `value`, or removes it when `value` is empty (std::nullopt).
void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

}  // namespace platform::system
