// The completion record of a variant folder of our layout in the model cache.
// Written last and atomically once every listed file of the folder is in the cache, removed
// before the folder is brought up to date; a folder without a record that still holds is never
// used from the cache. One line per file: "<size>\t<mtime ns>\t<sha256>\t<path in the repository>".
// A file whose size and modification time are as recorded keeps its digest without being read
// again; any other is digested anew.
//   "1234\t1765324800000000000\t9f86d0…\topenai_whisper-base.en/AudioEncoder.mlmodelc/model.json"
// The record lives at <root>/.cache/murmel/<folder name>.complete. Thread-safe as the files
// allow; errors: WhisperError::modelsUnavailable for a file that is not there to record or a
// record that cannot be written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Hub/HubApi.h"

namespace murmel::detail {

struct RecordedFile {
  std::uintmax_t size = 0;
  std::int64_t modified = 0;  // nanoseconds since 1970
  std::string sha256;
};
using CompletionRecord = std::map<std::string, RecordedFile>;

// Takes the record away (the folder is about to change) and returns what it held.
CompletionRecord withdrawCompletion(const std::filesystem::path& root, const std::filesystem::path& folder);

// Records `names` (paths below `root`) as the folder's files, once they are all there: each with
// its size, modification time and digest, the digest taken over from `before` for a file that
// kept its size and time.
void recordCompletion(const hub::HubApi& hubApi, const std::filesystem::path& root, const std::filesystem::path& folder,
                      const std::vector<std::string>& names, const CompletionRecord& before);

// Whether the record is there and every file it lists still has its size and digest.
bool completionHolds(const hub::HubApi& hubApi, const std::filesystem::path& root, const std::filesystem::path& folder);

}  // namespace murmel::detail
