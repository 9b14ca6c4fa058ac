// Small file helpers of the dictation core. Thread-safe (no shared state); errors throw
// std::system_error naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/System/Folders.h"

namespace parlet::detail {

// Writes `data` to a new private (0600) file "<path>.tmp-XXXXXX" beside `path`, then renames it over
// `path`, so that a reader sees the old contents or the new, never a mix. A link at `path` is
// replaced, not followed.
void writeFileAtomically(const std::filesystem::path& path, std::string_view data);

// The same inside the open folder `folder` (the folder of `path`, which names the file in messages).
// Returns the new file, open for appending.
platform::system::UniqueFd writeFileAtomicallyAt(int folder, const std::filesystem::path& path,
                                                 std::string_view data);

// Removes the temporaries that a write above leaves beside `path` when the process dies before its
// rename: regular files (not links) named "<path>.tmp-XXXXXX" and owned by this user. Returns how
// many were removed; never throws.
std::size_t removeStaleTemporaries(const std::filesystem::path& path);

// Renames `path` to the first free name of "<path>.unreadable", "<path>.unreadable-2" … "-999",
// never replacing an existing one. Nothing when `path` does not exist (any more).
// Throws when no name is free or the rename fails.
std::optional<std::filesystem::path> setAsideUnreadable(const std::filesystem::path& path);

// The whole file, which must be a regular file: a FIFO or device is refused rather than waited on.
// A file over `limit` bytes is refused unread (EFBIG, saying the bound). Throws std::system_error
// (its code ENOENT when the file does not exist).
std::string readWholeFile(const std::filesystem::path& path, std::uintmax_t limit);

}  // namespace parlet::detail
