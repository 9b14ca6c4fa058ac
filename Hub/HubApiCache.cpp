// The local cache: folder layout, download metadata files, file hashes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <locale.h>
#include <random>
#include <system_error>

#include "Hub/HubApi.h"
#include "Hub/detail/Files.h"
#include "Hub/detail/SafeNames.h"
#include "platform/Net/Sha256.h"
#include "platform/System/Folders.h"
#include "platform/System/Trimming.h"
#include "platform/Net/Url.h"
#include "platform/Text/Regex.h"
#include "platform/Text/Unicode.h"

namespace hub {
namespace fs = std::filesystem;
using Error = Hub::HubClientError;
using platform::system::LogType;
using detail::writeAtomically;

namespace {

constexpr std::size_t kHashChunkSize = 1 << 20;

// Seconds since 1970 in the shortest form that reads back to the same double, whole numbers with
// ".0".  1765324800.25 => "1765324800.25", 1765324800 => "1765324800.0"
std::string formatTimestamp(double seconds) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

// strtod in the C locale, the whole text or nothing.
std::optional<double> parseTimestamp(const std::string& text) {
  if (text.empty()) return std::nullopt;
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  char* end = nullptr;
  double value = strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

// Splits at every line-break character: LF, VT, FF, CR, NEL, LS, PS. "a\r\nb" => ["a", "", "b"]
std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = text[i];
    std::size_t width = 0;
    if (c == '\n' || c == '\v' || c == '\f' || c == '\r') width = 1;
    else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) width = 2;
    else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
             (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9))
      width = 3;
    if (width) {
      pieces.emplace_back();
      i += width - 1;
    } else {
      pieces.back().push_back(static_cast<char>(c));
    }
  }
  return pieces;
}

// White space and line breaks off both ends, Unicode's among them (NBSP, NEL, LS, PS, ideographic space ...).
std::string trimmed(std::string_view text) {
  auto spaceAt = [&](std::size_t i, bool fromEnd) -> std::size_t {
    static constexpr std::string_view kMultiByte[] = {"\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80",
                                                      "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
                                                      "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
                                                      "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9",
                                                      "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    unsigned char c = fromEnd ? text[i - 1] : text[i];
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    for (auto s : kMultiByte) {
      if (fromEnd ? text.substr(0, i).ends_with(s) : text.substr(i).starts_with(s)) return s.size();
    }
    return 0;
  };
  std::size_t begin = 0, end = text.size();
  while (begin < end) {
    std::size_t n = spaceAt(begin, false);
    if (!n) break;
    begin += n;
  }
  while (end > begin) {
    std::size_t n = spaceAt(end, true);
    if (!n) break;
    end -= n;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string fileURLText(const fs::path& path) { return "file://" + path.string(); }

// The content of the open file, which must be a regular file of at most `limit` bytes.
std::string readSmallRegularFile(int fd, std::size_t limit) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw std::system_error(errno, std::generic_category(), "cannot read the file");
  if (!S_ISREG(info.st_mode)) throw std::runtime_error("it is not a regular file");
  if (static_cast<std::uintmax_t>(info.st_size) > limit)
    throw std::runtime_error("the file is larger than " + std::to_string(limit) + " bytes");
  std::string text;
  char block[4096];
  for (;;) {
    ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "cannot read the file");
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
    if (text.size() > limit) throw std::runtime_error("the file is larger than " + std::to_string(limit) + " bytes");
  }
  return text;
}

// What makes `path` unusable as a file's name, in a sentence: a name or a path longer than the
// file system allows. Nothing when its length is fine.
std::optional<std::string> nameLengthProblem(const fs::path& path) {
  auto shortened = [](const std::string& text) {
    return detail::escapedForMessage(platform::system::shortenedForMessage(text, 40));
  };
  for (const auto& part : path) {
    const std::string name = part.string();
    if (name.size() > NAME_MAX)
      return "The file name " + shortened(name) + " is " + std::to_string(name.size()) +
             " bytes long, more than the " + std::to_string(NAME_MAX) + " a file name may have";
  }
  if (path.native().size() >= PATH_MAX)
    return "The path " + shortened(path.string()) + " is " + std::to_string(path.native().size()) +
           " bytes long, more than the " + std::to_string(PATH_MAX - 1) + " a path may have";
  return std::nullopt;
}

}  // namespace

fs::path HubApi::localRepoLocation(const Hub::Repo& repo) const {
  return downloadBase_ / std::string(Hub::rawValue(repo.type)) / repo.id;
}

fs::path HubApi::checkCacheFolders(const Hub::Repo& repo) const {
  // Each level is looked at where the one above it really is: a link met on the way is followed
  // once, here, and what lies below is checked and used inside the folder it led to.
  const fs::path relative = localRepoLocation(repo).lexically_relative(downloadBase_);
  auto part = relative.begin();
  fs::path folder = downloadBase_;
  for (;;) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(folder, error))) break;  // nothing below it either
    const auto found = platform::system::inspectOwnFolderOrLink(folder, 022);
    if (!found.usable) {
      const std::string problem = folder.string() + " " + found.note;
      log(platform::system::LogType::error, "Model cache folder " + problem + "; it is not used");
      throw EnvironmentError::foreignFolderError(problem);
    }
    if (!found.note.empty()) log(platform::system::LogType::info, "Model cache: " + found.note);
    folder = found.target;
    if (part == relative.end()) return folder;
    folder /= *part++;
  }
  for (; part != relative.end(); ++part) folder /= *part;
  return folder;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const fs::path& metadataPath) const {
  double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::string text = commitHash + "\n" + etag + "\n" + formatTimestamp(now) + "\n";
  try {
    fs::create_directories(metadataPath.parent_path());
    writeAtomically(metadataPath, text);
  } catch (const std::exception& e) {
    throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " + e.what());
  }
}

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(const fs::path& metadataPath) const {
  // A name no file system takes holds no metadata, and cannot be removed either: say why at once.
  if (auto problem = nameLengthProblem(metadataPath)) throw EnvironmentError::invalidMetadataError(*problem);
  // Opened without following a link and without waiting for a writer (a FIFO would block a plain
  // open); whatever is not a regular file is refused like a malformed one.
  int fd = ::open(metadataPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  std::string problem;
  try {
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open the file");
    // Three short lines; anything far longer is no metadata file of ours.
    constexpr std::size_t kMaxMetadataSize = 64 * 1024;
    std::string text = readSmallRegularFile(fd, kMaxMetadataSize);
    if (!platform::text::isValidUtf8(text)) throw std::runtime_error("the file is not UTF-8 text");
    auto pieces = splitLines(text);
    if (pieces.size() < 3) {
      problem = EnvironmentError::invalidMetadataError("Metadata file is missing required fields").what();
    } else if (auto timestamp = parseTimestamp(trimmed(pieces[2]))) {
      std::string filename = metadataPath.filename().string();
      for (std::size_t at; (at = filename.find(".metadata")) != std::string::npos;) filename.erase(at, 9);
      return LocalDownloadFileMetadata{trimmed(pieces[0]), trimmed(pieces[1]), filename, *timestamp};
    } else {
      problem = EnvironmentError::invalidMetadataError("Invalid timestamp format").what();
    }
    log(LogType::error, "Invalid metadata file " + fileURLText(metadataPath) + ": " + problem +
                            ". Removing it from disk and continuing.");
  } catch (const std::exception& e) {
    log(LogType::error, "Error reading metadata file " + fileURLText(metadataPath) + ": " + e.what() +
                            ". Removing it from disk and continuing.");
  }
  std::error_code removal;
  fs::remove(metadataPath, removal);
  if (removal == std::errc::directory_not_empty || removal == std::errc::file_exists)
    throw EnvironmentError::invalidMetadataError("A folder that is not empty stands where the metadata file " +
                                                 metadataPath.string() + " belongs; it is left as it is");
  if (removal)
    throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " + removal.message());
  return std::nullopt;
}

bool HubApi::isValidHash(std::string_view hash, std::string_view pattern) const {
  try {
    return platform::text::Regex(pattern).containsMatch(hash);
  } catch (const std::exception&) {
    return false;
  }
}

std::string HubApi::computeFileHash(const fs::path& file) const {
  // As for metadata: no link followed, no wait for a writer, regular files only (a FIFO would
  // block the read, a device such as /dev/zero never end it).
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw Error::fileNotFound(file.filename().string());
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw Error::fileSystemError(file.filename().string() + " is not a regular file");
  }
  platform::net::Sha256 digest;
  std::vector<char> chunk(kHashChunkSize);
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a failed read ends the digest as the end of the file would
    digest.update(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  return digest.finalizeHex();
}

std::vector<fs::path> getFileUrls(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, error);
  if (error) return files;
  for (fs::recursive_directory_iterator end; it != end; it.increment(error)) {
    if (error) break;
    const fs::directory_entry& entry = *it;
    bool hidden = entry.path().filename().string().starts_with(".");
    if (hidden) {
      if (entry.is_directory(error)) it.disable_recursion_pending();
      continue;
    }
    fs::file_status status = entry.symlink_status(error);
    if (error) throw fs::filesystem_error("Cannot read the properties of a file", entry.path(), error);
    if (fs::is_regular_file(status)) files.push_back(entry.path());
  }
  return files;
}

}  // namespace hub
