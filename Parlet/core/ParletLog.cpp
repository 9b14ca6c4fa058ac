#include "Parlet/core/ParletLog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "Parlet/core/detail/Files.h"
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

bool appendToExisting(const std::filesystem::path& url, std::string_view bytes) {
  try {
    platform::system::UniqueFd fd = platform::system::openNoFollow(url, O_WRONLY | O_APPEND);
    while (!bytes.empty()) {
      ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // a short write is dropped, as any other file error
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  } catch (...) {
    return false;
  }
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
  std::string text = line(time, message);
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
  if (!didStart_) {
    try {
      // The header carries the time of the run's first line.
      detail::writeFileAtomically(url_, header(pending.time));
    } catch (...) {
    }
    didStart_ = true;
  }
  if (!appendToExisting(url_, text)) {
    // Deleted (or otherwise unopenable) during the run: start over with this line alone.
    try {
      detail::writeFileAtomically(url_, text);
    } catch (...) {
    }
  }
}

std::filesystem::path ParletLog::url() {
  static const std::filesystem::path location = [] {
    try {
      return platform::system::privateTemporaryDirectory() / "parlet.log";
    } catch (...) {
      return std::filesystem::path();
    }
  }();
  return location;
}

LogFile& ParletLog::shared() {
  static LogFile log(url());
  return log;
}

void ParletLog::write(std::string_view message) { shared().write(message); }

LogSink ParletLog::sink() {
  return [](const std::string& message) { write(message); };
}

}  // namespace parlet
