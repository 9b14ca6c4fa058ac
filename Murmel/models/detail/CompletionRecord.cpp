#include "Murmel/models/detail/CompletionRecord.h"

#include <exception>
#include <fstream>
#include <optional>

#include <sys/stat.h>

#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/models/detail/CacheWrites.h"

namespace murmel::detail {
namespace fs = std::filesystem;
using hub::HubApi;

namespace {

fs::path completionRecord(const fs::path& root, const fs::path& folder) {
  return root / ".cache" / "murmel" / (folder.filename().string() + ".complete");
}

// The regular file's size and modification time, nothing for anything else (a link included).
std::optional<RecordedFile> regularFile(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return RecordedFile{static_cast<std::uintmax_t>(info.st_size),
                      std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec, {}};
}

// The record's files; nothing when there is no record or a line is malformed.
std::optional<CompletionRecord> readCompletion(const fs::path& record) {
  if (!regularFile(record)) return std::nullopt;
  std::ifstream in(record, std::ios::binary);
  CompletionRecord files;
  for (std::string line; std::getline(in, line);) {
    std::size_t at[3];
    std::size_t from = 0;
    for (auto& tab : at) {
      tab = line.find('\t', from);
      if (tab == std::string::npos) return std::nullopt;
      from = tab + 1;
    }
    RecordedFile file;
    try {
      file.size = std::stoull(line.substr(0, at[0]));
      file.modified = std::stoll(line.substr(at[0] + 1, at[1] - at[0] - 1));
    } catch (const std::exception&) {
      return std::nullopt;
    }
    file.sha256 = line.substr(at[1] + 1, at[2] - at[1] - 1);
    files[line.substr(at[2] + 1)] = file;
  }
  if (in.bad() || files.empty()) return std::nullopt;
  return files;
}

}  // namespace

CompletionRecord withdrawCompletion(const fs::path& root, const fs::path& folder) {
  const fs::path record = completionRecord(root, folder);
  auto files = readCompletion(record).value_or(CompletionRecord{});
  std::error_code ignored;
  fs::remove(record, ignored);
  return files;
}

void recordCompletion(const HubApi& hubApi, const fs::path& root, const fs::path& folder,
                      const std::vector<std::string>& names, const CompletionRecord& before) {
  std::string text;
  for (const auto& name : names) {
    auto file = regularFile(root / name);
    if (!file) throw WhisperError::modelsUnavailable("The download of " + name + " left no file at " + (root / name).string());
    auto old = before.find(name);
    const bool unchanged = old != before.end() && old->second.size == file->size && old->second.modified == file->modified;
    file->sha256 = unchanged ? old->second.sha256 : hubApi.computeFileHash(root / name);
    text += std::to_string(file->size) + "\t" + std::to_string(file->modified) + "\t" + file->sha256 + "\t" + name + "\n";
  }
  writeAtomically(hubApi.downloadBase(), completionRecord(root, folder), text);
}

bool completionHolds(const HubApi& hubApi, const fs::path& root, const fs::path& folder) {
  const auto files = readCompletion(completionRecord(root, folder));
  if (!files) return false;
  for (const auto& [name, recorded] : *files) {
    const auto file = regularFile(root / name);
    if (!file || file->size != recorded.size) {
      Logging::info("Cached model folder " + folder.string() + " is incomplete: " + name + " is missing or has another size");
      return false;
    }
    if (file->modified != recorded.modified && hubApi.computeFileHash(root / name) != recorded.sha256) {
      Logging::info("Cached model folder " + folder.string() + " is damaged: " + name + " has another digest");
      return false;
    }
  }
  return true;
}

}  // namespace murmel::detail
