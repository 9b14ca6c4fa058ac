#include "Parlet/core/ParletLog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Parlet/core/detail/Files.h"
#include "platform/Net/Url.h"
#include "platform/System/Folders.h"

namespace parlet {
namespace {

void writeToStandardError(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The log's folder, opened without following a link, if it is ours and no one else can write to it
// (else someone could have put their own file in place of ours).
platform::system::UniqueFd openOwnFolder(const std::filesystem::path& url) {
  std::filesystem::path parent = url.parent_path();
  platform::system::UniqueFd folder(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!folder || ::fstat(folder.get(), &info) != 0) return {};
  if (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) return {};
  return folder;
}

// False when the file was deleted (or a short write dropped the line).
bool append(int file, std::string_view bytes) {
  struct stat info {};
  if (::fstat(file, &info) != 0 || info.st_nlink == 0) return false;
  while (!bytes.empty()) {
    ssize_t n = ::write(file, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;  // a failed write is dropped, as any other file error
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

LogFile::LogFile(std::filesystem::path url, Options options) : url_(std::move(url)), options_(std::move(options)) {
  if (!options_.now) options_.now = [] { return Clock::now(); };
  if (!options_.standardError) options_.standardError = writeToStandardError;
  writer_ = std::thread([this] { run(); });
}

LogFile::~LogFile() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

std::string LogFile::line(Clock::time_point time, std::string_view message) {
  auto sinceEpoch = time.time_since_epoch();
  auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  std::string out = stamp;
  out.append(message);
  out.push_back('\n');
  return out;
}

std::string LogFile::header(Clock::time_point time) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch());
  std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  gmtime_r(&t, &utc);
  char date[64];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d +0000", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return std::string("===== Parlet launched ") + date + " =====\n";
}

void LogFile::write(std::string_view message) {
  Clock::time_point time = options_.now();
  std::string text = line(time, platform::net::redactUrls(message));
  {
    std::lock_guard<std::mutex> hold(mutex_);
    pending_.push_back({text, time});
    ++submitted_;
  }
  changed_.notify_all();
  options_.standardError(text);
}

void LogFile::flush() {
  std::unique_lock<std::mutex> hold(mutex_);
  std::uint64_t target = submitted_;
  changed_.wait(hold, [&] { return done_ >= target; });
}

void LogFile::run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    changed_.wait(hold, [&] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopping, nothing left
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    hold.unlock();
    fileStep(next);
    hold.lock();
    ++done_;
    changed_.notify_all();
  }
}

void LogFile::fileStep(const Pending& pending) {
  if (url_.empty()) return;
  const std::string& text = pending.line;
  // Replaces the file at url_ with a new one of ours holding `contents`, kept open for what follows.
  auto startFile = [&](std::string_view contents) {
    file_ = {};
    platform::system::UniqueFd folder = openOwnFolder(url_);
    if (!folder) return;
    try {
      file_ = detail::writeFileAtomicallyAt(folder.get(), url_, contents);
    } catch (...) {
      // The log cannot report its own failure; its lines still reach standard error, and the
      // next line tries the file again.
    }
  };
  if (!didStart_) {
    didStart_ = true;
    detail::removeStaleTemporaries(url_);
    startFile(header(pending.time));  // the header carries the time of the run's first line
  }
  if (file_ && append(file_.get(), text)) return;
  // Deleted during the run (or never made): start over with this line alone.
  startFile(text);
}

std::filesystem::path ParletLog::url() {
  static const std::filesystem::path location = [] {
    try {
      return platform::system::privateTemporaryDirectory() / "parlet.log";
    } catch (...) {
      // No private folder of ours: the log writes to standard error alone.
      return std::filesystem::path();
    }
  }();
  return location;
}

LogFile& ParletLog::shared() {
  static LogFile log(url());
  return log;
}

void ParletLog::write(std::string_view message) {
  LogFile& log = shared();
  for (const std::string& note : platform::system::takePrivateFolderNotes()) log.write(note);
  log.write(message);
}

LogSink ParletLog::sink() {
  return [](const std::string& message) { write(message); };
}

void ParletLog::adoptLibraryLines(kestrum::Logging::LogLevel level, LogSink sink) {
  if (!sink) sink = ParletLog::sink();
  kestrum::Logging::shared().setLoggingCallback([sink = std::move(sink)](const std::string& line) { sink("engine: " + line); });
  kestrum::Logging::shared().setLogLevel(level);
}

}  // namespace parlet
