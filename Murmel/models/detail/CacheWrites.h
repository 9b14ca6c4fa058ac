// Writing into the model cache: a file replaced atomically, and the message of a write that failed,
// in words a user can act on for a read-only or full disk. Thread-safe; writeAtomically throws
// WhisperError::modelsUnavailable with that message.
//   writeAtomically(cache, cache / ".cache/murmel/x.complete", "1234\t...\n");
#pragma once

#include <filesystem>
#include <string>

namespace murmel::detail {

// A write into the cache at `cache` that failed with `error` (an errno value): a read-only or full
// disk in plain words naming the cache, anything else as `what` + the path + the system's reason.
//   cacheWriteProblem(cache, "Cannot lock", path, EACCES) == "Cannot lock <path>: Permission denied"
std::string cacheWriteProblem(const std::filesystem::path& cache, const std::string& what,
                              const std::filesystem::path& path, int error);

// `text` as the whole of the file at `path` (its folders made), written to a sibling, flushed to
// the disk and renamed over it, so that a reader sees the old file or the new one, never a part.
void writeAtomically(const std::filesystem::path& cache, const std::filesystem::path& path, const std::string& text);

}  // namespace murmel::detail
