// Small file helpers of the dictation core. Thread-safe (no shared state); errors throw
// std::system_error naming the file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace parlet::detail {

// Writes `data` to a new private (0600) file beside `path`, then renames it over `path`, so that a
// reader sees the old contents or the new, never a mix. A link at `path` is replaced, not followed.
void writeFileAtomically(const std::filesystem::path& path, std::string_view data);

// The whole file. Throws std::system_error (its code ENOENT when the file does not exist).
std::string readWholeFile(const std::filesystem::path& path);

}  // namespace parlet::detail
