// File writing shared by the cache operations.
#pragma once

#include <filesystem>
#include <string_view>

namespace hub::detail {

// Writes through a new temporary file in the same folder, then renames it over `path`; a link at
// the temporary name is refused. Throws std::system_error naming the file.
void writeAtomically(const std::filesystem::path& path, std::string_view text);

}  // namespace hub::detail
