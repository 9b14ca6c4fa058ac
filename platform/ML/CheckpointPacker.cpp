// packCheckpoint: streams the checkpoint's tensors one block at a time from model.safetensors into
// the folders' weights files, so memory stays flat whatever the model's size. Everything is
// written into a hidden sibling of the destination and renamed into place once complete.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ML/CheckpointError.h"
#include "platform/ML/ModelFolders.h"
#include "platform/ML/detail/ModelFolderLayout.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/System/Json.h"

namespace platform::ml {

namespace fs = std::filesystem;
namespace json = platform::json;

namespace {

constexpr const char* kWeightsFile = "model.safetensors";
constexpr const char* kShardIndex = "model.safetensors.index.json";
constexpr const char* kSourceRecord = "source.json";

// The configuration files of a checkpoint hold a few kilobytes; a larger one is refused before
// it is parsed, so its claims cannot size anything.
constexpr std::uintmax_t kMaxConfigurationBytes = 1 << 20;

// Runs `step` on `file` through the shared tensor readers and writers, whose errors name the file
// already, and passes those on as CheckpointError with their text unchanged. File-system errors
// and the packer's own pass as they are.
template <class Step>
decltype(auto) retyped(const fs::path& file, Step&& step) {
  try {
    return step();
  } catch (const CheckpointError&) {
    throw;
  } catch (const std::system_error&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw CheckpointError::naming(file, e.what());
  }
}

json::Value readJson(const fs::path& path) {
  std::error_code ec;
  if (const auto bytes = fs::file_size(path, ec); !ec && bytes > kMaxConfigurationBytes)
    throw CheckpointError(path, "is " + std::to_string(bytes) + " bytes, more than a configuration file holds (at most 1 MiB)");
  try {
    return json::parseFile(path.string(), kMaxConfigurationBytes);
  } catch (const std::exception& e) {
    throw CheckpointError(path, std::string("cannot be read: ") + e.what());
  }
}

WhisperDimensions readDimensions(const fs::path& file) {
  const json::Value config = readJson(file);
  auto get = [&](const char* key) -> std::int64_t {
    const json::Value* v = config.kind() == json::Value::Kind::object ? config.find(key) : nullptr;
    if (!v) throw CheckpointError(file, "\"" + std::string(key) + "\" is missing");
    std::int64_t n = 0;
    try {
      n = v->asInt();
    } catch (const std::exception&) {
      throw CheckpointError(file, "\"" + std::string(key) + "\" is not a whole number");
    }
    if (n <= 0) throw CheckpointError(file, "\"" + std::string(key) + "\" is " + std::to_string(n) + ", not positive");
    return n;
  };
  WhisperDimensions dims;
  dims.nMels = get("num_mel_bins");
  dims.nAudioCtx = get("max_source_positions");
  dims.nAudioState = dims.nTextState = get("d_model");
  dims.nAudioHead = get("encoder_attention_heads");
  dims.nAudioLayer = get("encoder_layers");
  dims.nTextHead = get("decoder_attention_heads");
  dims.nTextLayer = get("decoder_layers");
  dims.nVocab = get("vocab_size");
  dims.nTextCtx = get("max_target_positions");
  dims.nFf = get("encoder_ffn_dim");
  if (get("decoder_ffn_dim") != dims.nFf)
    throw CheckpointError(file, "encoder and decoder MLP widths differ");
  // The weights prove every other number; the head counts only split the width.
  for (const auto& [key, heads] : {std::pair{"encoder_attention_heads", dims.nAudioHead},
                                   std::pair{"decoder_attention_heads", dims.nTextHead}})
    if (heads > dims.nAudioState || dims.nAudioState % heads != 0)
      throw CheckpointError(file, "\"" + std::string(key) + "\" is " + std::to_string(heads) +
                                      ", not a divisor of \"d_model\" (" + std::to_string(dims.nAudioState) + ")");
  dims.kvCacheLength = std::min<std::int64_t>(224, dims.nTextCtx);
  return dims;
}

// "alignment_heads" of generation_config.json when there is one, else the usual default.
std::vector<std::pair<int, int>> readAlignmentHeads(const fs::path& file, const WhisperDimensions& dims) {
  if (!fs::exists(file)) return defaultAlignmentHeads(dims);
  const json::Value generation = readJson(file);
  const json::Value* heads = generation.kind() == json::Value::Kind::object ? generation.find("alignment_heads") : nullptr;
  if (!heads) return defaultAlignmentHeads(dims);
  auto refuse = [&](const std::string& problem) { return CheckpointError(file, "\"alignment_heads\": " + problem); };
  std::vector<std::pair<int, int>> out;
  try {
    // Each decoder head can be named once, so a longer list is refused before it is read.
    const auto& pairs = heads->asArray();
    const std::int64_t decoderHeads = dims.nTextLayer * dims.nTextHead;
    if (static_cast<std::int64_t>(pairs.size()) > decoderHeads)
      throw refuse("lists " + std::to_string(pairs.size()) + " heads, more than the decoder's " +
                   std::to_string(decoderHeads));
    std::set<std::pair<int, int>> seen;
    for (const auto& pair : pairs) {
      const auto& p = pair.asArray();
      if (p.size() != 2) throw refuse("a pair needs two numbers");
      const std::int64_t layer = p[0].asInt(), head = p[1].asInt();
      if (layer < 0 || layer >= dims.nTextLayer || head < 0 || head >= dims.nTextHead)
        throw refuse("[" + std::to_string(layer) + ", " + std::to_string(head) + "] is not a decoder head");
      if (!seen.emplace(static_cast<int>(layer), static_cast<int>(head)).second)
        throw refuse("[" + std::to_string(layer) + ", " + std::to_string(head) + "] is listed twice");
      out.emplace_back(static_cast<int>(layer), static_cast<int>(head));
    }
  } catch (const CheckpointError&) {
    throw;
  } catch (const std::exception& e) {  // not an array, not numbers
    throw refuse(e.what());
  }
  return out;
}

// Some exports drop the leading "model." of the common layout.
std::string fullName(const std::string& name) { return name.starts_with("model.") ? name : "model." + name; }

void syncPath(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw CheckpointError(path, std::string("cannot flush to disk: ") + std::strerror(error));
  }
  ::close(fd);
}

// A new, empty folder next to `destination`, named so that nothing takes it for a model folder.
fs::path makeTemporarySibling(const fs::path& destination) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", random());
    std::string name = ".";
    name.append(destination.filename().string()).append(".partial-").append(std::to_string(::getpid()));
    name.append("-").append(suffix);
    const fs::path candidate = destination.parent_path() / name;
    if (::mkdir(candidate.c_str(), 0777) == 0) return candidate;
    if (errno != EEXIST) throw CheckpointError(candidate, std::string("cannot create: ") + std::strerror(errno));
  }
  throw CheckpointError(destination, "cannot find a free temporary name next to it");
}

// Renames `from` to `to` unless something already is at `to`.
void renameIntoPlace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {  // a file system without the no-replace flag
    std::error_code ec;
    if (fs::exists(to, ec) || ec) {
      error = EEXIST;
    } else if (::rename(from.c_str(), to.c_str()) == 0) {
      return;
    } else {
      error = errno;
    }
  }
  if (error == EEXIST || error == ENOTEMPTY)
    throw CheckpointError(to, "already exists (written while packing)");
  throw CheckpointError(to, std::string("cannot move the packed folders into place: ") + std::strerror(error));
}

// Writes the folders into `out` (empty), streaming each tensor from the checkpoint's weights.
void writeFolders(const fs::path& checkpoint, const fs::path& out) {
  const WhisperDimensions dims = readDimensions(checkpoint / "config.json");
  const fs::path file = checkpoint / kWeightsFile;
  detail::SafetensorsFile weights = retyped(file, [&] { return detail::SafetensorsFile(file); });
  auto refuse = [&](const std::string& name, const std::string& problem) {
    return CheckpointError(file, "tensor \"" + name + "\" " + problem);
  };
  std::map<std::string, std::string> sources;  // full name => name in the file
  std::map<std::string, std::vector<std::int64_t>> shapes;
  for (const auto& [name, entry] : weights.entries()) {
    const std::string full = fullName(name);
    if (!sources.emplace(full, name).second) throw refuse(name, "is listed both with and without the leading \"model.\"");
    shapes[full] = entry.shape;
  }
  retyped(file, [&] { detail::checkShapes(dims, shapes, file.string()); });
  // Read once the weights have proven the layer counts it may size a default by.
  ModelFolderOptions options;
  options.alignmentHeads = readAlignmentHeads(checkpoint / "generation_config.json", dims);
  const auto expected = detail::expectedShapes(dims);
  for (const auto& [full, name] : sources) {
    const std::string& dtype = weights.entries().at(name).dtype;
    if (expected.count(full) && dtype != "F32" && dtype != "F16" && dtype != "BF16" && dtype != "F64")
      throw refuse(name, "has dtype " + dtype + ", a floating-point dtype is needed");
  }

  for (const auto& layout : detail::folderLayouts(dims, options)) {
    const fs::path dir = out / layout.name;
    fs::create_directory(dir);
    retyped(dir / "model.json", [&] { detail::writeText(dir / "model.json", layout.description, true); });
    if (!layout.weightPrefix.empty()) {
      std::map<std::string, detail::SafetensorsWriter::Planned> planned;
      for (const auto& [full, name] : sources)
        if (full.starts_with(layout.weightPrefix))
          planned[full] = {detail::heldInHalf(full) ? "F16" : "F32", weights.entries().at(name).shape};
      const fs::path written = dir / "weights.safetensors";
      detail::SafetensorsWriter writer = retyped(written, [&] { return detail::SafetensorsWriter(written, planned); });
      auto write = [&](const void* data, std::size_t bytes) { retyped(written, [&] { writer.write(data, bytes); }); };
      for (const auto& [full, plan] : planned) {
        retyped(file, [&] {
          if (plan.dtype == "F16")
            weights.readHalfBlocks(sources.at(full), [&](const Float16* halves, std::size_t count, std::size_t) {
              write(halves, count * sizeof(Float16));
            });
          else
            weights.readFloatBlocks(sources.at(full), [&](const float* values, std::size_t count, std::size_t) {
              write(values, count * sizeof(float));
            });
        });
      }
      retyped(written, [&] { writer.finish(true); });
    }
    syncPath(dir);
  }
}

std::string sourceText(const CheckpointSource& source) {
  json::Object etags;
  for (const auto& [file, etag] : source.etags) etags.emplace_back(file, etag);
  return json::write(json::Value(json::Object{{"repository", source.repository},
                                              {"commit", source.commit},
                                              {"etags", json::Value(std::move(etags))}}),
                     {.pretty = true, .escapeSlashes = false});
}

}  // namespace

void packCheckpoint(const fs::path& checkpoint, const fs::path& folder, const std::optional<CheckpointSource>& source) {
  fs::path destination = fs::absolute(folder).lexically_normal();
  if (destination.filename().empty()) destination = destination.parent_path();
  std::error_code ec;
  const auto status = fs::symlink_status(destination, ec);  // a dangling link counts as there
  if (status.type() == fs::file_type::none)
    throw CheckpointError(destination, "cannot be checked: " + ec.message());
  if (fs::exists(status)) throw CheckpointError(destination, "already exists; packing writes a new folder only");

  if (!fs::is_directory(checkpoint, ec)) throw CheckpointError(checkpoint, "not a checkpoint folder");
  if (!fs::exists(checkpoint / kWeightsFile, ec)) {
    if (fs::exists(checkpoint / kShardIndex, ec))
      throw CheckpointError(checkpoint / kShardIndex,
                            "sharded checkpoints (weights split over several files) are not supported");
    throw CheckpointError(checkpoint / kWeightsFile, "missing");
  }
  if (!fs::exists(checkpoint / "config.json", ec)) throw CheckpointError(checkpoint / "config.json", "missing");

  fs::create_directories(destination.parent_path());
  removeStalePackingLeftovers(destination);
  const fs::path temporary = makeTemporarySibling(destination);
  try {
    writeFolders(checkpoint, temporary);
    if (source)
      retyped(temporary / kSourceRecord, [&] { detail::writeText(temporary / kSourceRecord, sourceText(*source), true); });
    syncPath(temporary);
    renameIntoPlace(temporary, destination);
  } catch (...) {
    fs::remove_all(temporary, ec);
    throw;
  }
  try {
    syncPath(destination.parent_path());
  } catch (const std::exception&) {
    // The folder is complete and in place; only the rename's durability is in doubt.
  }
}

namespace {

// "<pid>-<8 hex digits>" => pid; nothing for any other text.
std::optional<pid_t> leftoverPid(std::string_view rest) {
  const auto dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || rest.size() - dash - 1 != 8 || dash > 9) return std::nullopt;
  pid_t pid = 0;
  for (char c : rest.substr(0, dash)) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  for (char c : rest.substr(dash + 1))
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c))) return std::nullopt;
  return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

}  // namespace

void removeStalePackingLeftovers(const fs::path& folder) {
  std::error_code ec;
  fs::path destination = fs::absolute(folder, ec).lexically_normal();
  if (ec) return;
  if (destination.filename().empty()) destination = destination.parent_path();
  const fs::path parent = destination.parent_path();
  std::string prefix = ".";  // built in steps: GCC 12 warns wrongly on "literal" + string here
  prefix += destination.filename().string();
  const std::string lockName = prefix + ".lock";
  prefix += ".partial-";
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path path = it->path();
    const std::string name = path.filename().string();
    if (!name.starts_with(prefix)) continue;
    const auto pid = leftoverPid(std::string_view(name).substr(prefix.size()));
    struct stat info {};
    if (!pid || *pid == ::getpid() || ::lstat(path.c_str(), &info) != 0) continue;
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) continue;  // links and others' folders stay
    if (::kill(*pid, 0) == 0 || errno != ESRCH) continue;                 // its packer may still run
    std::error_code removal;
    fs::remove_all(path, removal);
  }
  // The pack lock, when nobody holds it: locked here, it is removed as its holder would remove it.
  const fs::path lock = parent / lockName;
  const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      ::flock(fd, LOCK_EX | LOCK_NB) == 0)
    ::unlink(lock.c_str());
  ::close(fd);
}

std::optional<CheckpointSource> readCheckpointSource(const fs::path& folder) {
  try {
    std::error_code ec;
    if (!fs::is_regular_file(folder / kSourceRecord, ec)) return std::nullopt;
    const json::Value root = json::parseFile((folder / kSourceRecord).string());
    CheckpointSource source;
    source.repository = root.at("repository").asString();
    source.commit = root.at("commit").asString();
    for (const auto& [file, etag] : root.at("etags").asObject()) source.etags[file] = etag.asString();
    return source;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace platform::ml
