#include "Murmel/transcription/ResultWriters.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/System/Json.h"

namespace murmel {

namespace fs = std::filesystem;

namespace {

// Truncation toward zero that cannot overflow: non-finite gives 0, huge values clamp.
long long truncated(float value) {
  if (!std::isfinite(value)) return 0;
  if (value >= 9.2e18f) return 9200000000000000000LL;
  if (value <= -9.2e18f) return -9200000000000000000LL;
  return static_cast<long long>(value);
}

// A file URL with percent-escapes (RFC 3986): "/tmp/a b.srt" => "file:///tmp/a%20b.srt"
std::string fileUrl(const fs::path& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : fs::absolute(path).lexically_normal().string()) {
    if (std::isalnum(c) || std::strchr("!$&'()*+,-./:;=@_~", c)) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += hex[c >> 4];
      url += hex[c & 0xF];
    }
  }
  return url;
}

[[noreturn]] void throwErrno(const std::string& what, const fs::path& path) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

void writeAll(int fd, const std::string& content, const fs::path& path) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("Couldn't write file", path);
    }
    done += static_cast<std::size_t>(n);
  }
}

// Replaces the target's content in place.
void writeInPlace(const fs::path& target, const std::string& content) {
  int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throwErrno("Couldn't create file", target);
  try {
    writeAll(fd, content, target);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) throwErrno("Couldn't write file", target);
}

// Writes a temporary file beside the target and renames it over the target.
void writeAtomically(const fs::path& target, const std::string& content) {
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string pattern = (target.parent_path() / name).string();
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) throwErrno("Couldn't create file", target);
  try {
    writeAll(fd, content, pattern);
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) throwErrno("Couldn't write file", pattern);
    if (::close(fd) != 0) {
      fd = -1;
      throwErrno("Couldn't write file", pattern);
    }
    fd = -1;
    if (::rename(pattern.c_str(), target.c_str()) != 0) throwErrno("Couldn't write file", target);
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(pattern.c_str());
    throw;
  }
}

// The folder plus one added component; a leading "/" of the name does not leave the folder:
// ("/out", "/a", ".srt") => "/out/a.srt"
fs::path targetIn(const std::string& outputDir, const std::string& file, const char* extension) {
  return fs::path(outputDir) / fs::path(file + extension).relative_path();
}

template <class Body>
WriteResult attempt(Body&& body) {
  try {
    return WriteResult::success(body());
  } catch (...) {
    return WriteResult::failure(std::current_exception());
  }
}

}  // namespace

std::string WriteResult::errorMessage() const {
  if (succeeded()) return {};
  try {
    std::rethrow_exception(error());
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) const {
  long long hours = truncated(seconds / 3600.0f);
  long long minutes = truncated(std::fmod(seconds, 3600.0f) / 60.0f);
  long long secs = truncated(std::fmod(seconds, 60.0f));
  long long millis = truncated((seconds - std::floor(seconds)) * 1000.0f);
  char buffer[128];
  if (alwaysIncludeHours || hours > 0)
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", hours, minutes, secs);
  else
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", minutes, secs);
  char ms[32];
  std::snprintf(ms, sizeof ms, "%03lld", millis);
  return buffer + decimalMarker + ms;
}

std::string ResultWriting::formatSegment(std::int64_t index, float start, float end, const std::string& text) const {
  return std::to_string(index) + "\n" + formatTime(start, true, ",") + " --> " + formatTime(end, true, ",") + "\n" +
         text + "\n\n";
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) const {
  return formatTime(start, false, ".") + " --> " + formatTime(end, false, ".") + "\n" + text + "\n\n";
}

WriteResult WriteJSON::write(const TranscriptionResult& result, const std::string& file, const Options&) {
  return attempt([&] {
    fs::path target = targetIn(outputDir_, file, ".json");
    writeInPlace(target, platform::json::write(result.toJson(), {.pretty = true}));
    return fileUrl(target);
  });
}

WriteResult WriteSRT::write(const TranscriptionResult& result, const std::string& file, const Options&) {
  return attempt([&] {
    std::string content;
    std::int64_t index = 1;
    for (const auto& segment : result.segments()) {
      if (segment.words && !segment.words->empty()) {
        for (const auto& word : *segment.words) content += formatSegment(index++, word.start, word.end, word.word);
      } else {
        content += formatSegment(index++, segment.start, segment.end, segment.text);
      }
    }
    fs::path target = targetIn(outputDir_, file, ".srt");
    writeAtomically(target, content);
    return fileUrl(target);
  });
}

WriteResult WriteVTT::write(const TranscriptionResult& result, const std::string& file, const Options&) {
  return attempt([&] {
    std::string content = "WEBVTT\n\n";
    for (const auto& segment : result.segments()) {
      if (segment.words && !segment.words->empty()) {
        for (const auto& word : *segment.words) content += formatTiming(word.start, word.end, word.word);
      } else {
        content += formatTiming(segment.start, segment.end, segment.text);
      }
    }
    fs::path target = targetIn(outputDir_, file, ".vtt");
    writeAtomically(target, content);
    return fileUrl(target);
  });
}

}  // namespace murmel
