#include "Hub/Downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Hub/HubApi.h"
#include "KestrumCore/Concurrency.h"
#include "platform/Net/Http.h"
#include "platform/Net/Sha256.h"

namespace hub {
namespace fs = std::filesystem;
using platform::net::TransferError;
using Kind = Downloader::DownloadError::Kind;

namespace {

constexpr int kRestoredRetries = 5;
constexpr int kMaxRedirects = 16;

[[noreturn]] void throwErrno(const std::string& what, const fs::path& path) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

// "bytes 100-199/200" => 100; nothing for another form.
std::optional<std::int64_t> rangeStart(const std::optional<std::string>& contentRange) {
  if (!contentRange || !contentRange->starts_with("bytes ")) return std::nullopt;
  std::int64_t value = 0;
  std::size_t i = 6;
  if (i >= contentRange->size() || !std::isdigit(static_cast<unsigned char>((*contentRange)[i]))) return std::nullopt;
  for (; i < contentRange->size() && std::isdigit(static_cast<unsigned char>((*contentRange)[i])); ++i) {
    if (value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + ((*contentRange)[i] - '0');
  }
  return value;
}

// Sleeps for `delay` unless `stop` is requested first; then throws CancellationError.
void waitOrStop(std::chrono::milliseconds delay, const std::stop_token& stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  if (wake.wait_for(lock, stop, delay, [] { return false; }) || stop.stop_requested()) throw kestrum::CancellationError();
}

// The open partial file: written at its end, truncated on a restart, digested in file order.
class PartialFile {
 public:
  PartialFile(const fs::path& path, bool digest) : path_(path), digest_(digest) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) throwErrno("Cannot open the partial file", path);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throwErrno("Cannot read the partial file", path);
    if (!S_ISREG(info.st_mode)) throw fs::filesystem_error("The partial file is no regular file", path,
                                                            std::make_error_code(std::errc::invalid_argument));
    size_ = info.st_size;
    if (digest_) {
      sha_ = std::make_unique<platform::net::Sha256>();
      digestExisting();
    }
    if (::lseek(fd_, 0, SEEK_END) < 0) throwErrno("Cannot seek in the partial file", path);
  }
  ~PartialFile() { ::close(fd_); }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  std::int64_t size() const { return size_; }

  // Writes at the end, then digests (append), or either step alone; pieces in file order.
  void append(const std::vector<char>& bytes) {
    write(bytes);
    digest(bytes);
  }
  void write(const std::vector<char>& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throwErrno("Cannot write the partial file", path_);
      written += static_cast<std::size_t>(n);
    }
    size_ += static_cast<std::int64_t>(bytes.size());
  }
  void digest(const std::vector<char>& bytes) {
    if (sha_) sha_->update(std::string_view(bytes.data(), bytes.size()));
  }
  bool digesting() const { return sha_ != nullptr; }

  void truncate() {
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0) throwErrno("Cannot empty the partial file", path_);
    size_ = 0;
    if (digest_) sha_ = std::make_unique<platform::net::Sha256>();
  }

  std::string digestHex() { return sha_->finalizeHex(); }

 private:
  void digestExisting() {
    std::vector<char> block(1 << 20);
    for (std::int64_t at = 0; at < size_;) {
      ssize_t n = ::pread(fd_, block.data(), block.size(), at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throwErrno("Cannot read the partial file", path_);
      if (n == 0) break;
      sha_->update(std::string_view(block.data(), static_cast<std::size_t>(n)));
      at += n;
    }
  }

  fs::path path_;
  bool digest_;
  int fd_ = -1;
  std::int64_t size_ = 0;
  std::unique_ptr<platform::net::Sha256> sha_;
};

// Writes and digests full pieces on a thread of its own while the next piece arrives, so that
// at most two pieces are held.
class PieceWriter {
 public:
  PieceWriter(PartialFile& file, std::size_t pieceSize) : file_(file) {
    pending_.reserve(pieceSize);  // swapped with the receiving buffer: both keep their storage
    thread_ = std::thread([this] { loop(); });
  }
  ~PieceWriter() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_.notify_all();
    thread_.join();
  }
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  // Takes the piece; `buffer` comes back empty with the storage of the piece before.
  void submit(std::vector<char>& buffer) {
    std::unique_lock lock(mutex_);
    waitUntilIdle(lock);
    std::swap(pending_, buffer);
    busy_ = true;
    work_.notify_all();
  }
  // Returns once every piece is in the file; rethrows a failed write.
  void drain() {
    std::unique_lock lock(mutex_);
    waitUntilIdle(lock);
  }

 private:
  void waitUntilIdle(std::unique_lock<std::mutex>& lock) {
    idle_.wait(lock, [&] { return !busy_; });
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }
  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return busy_ || stopping_; });
      if (!busy_) return;
      lock.unlock();
      std::exception_ptr error;
      // The digest runs beside the write; both only read the piece.
      std::thread digest;
      if (file_.digesting()) digest = std::thread([this] { file_.digest(pending_); });
      try {
        file_.write(pending_);
      } catch (...) {
        error = std::current_exception();
      }
      if (digest.joinable()) digest.join();
      pending_.clear();
      lock.lock();
      error_ = error;
      busy_ = false;
      idle_.notify_all();
    }
  }

  PartialFile& file_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::vector<char> pending_;
  bool busy_ = false;
  bool stopping_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace

struct Downloader::Transfer {
  std::string url;
  platform::net::HttpHeaders headers;
  std::optional<std::int64_t> expectedSize;
  std::chrono::milliseconds timeout;
  int numRetries;
  std::optional<std::string> expectedSha256;
};

Downloader::Downloader(fs::path destination, fs::path incompleteDestination, bool inBackground, std::size_t chunkSize,
                       std::chrono::milliseconds retryDelay, RateFloor rateFloor)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      inBackground_(inBackground),
      chunkSize_(chunkSize ? chunkSize : 1),
      retryDelay_(retryDelay),
      rateFloor_(rateFloor),
      broadcaster_([] { return std::optional<DownloadState>(NotStarted{}); }) {}

Downloader::~Downloader() {
  std::lock_guard lock(taskMutex_);
  if (task_.joinable()) {
    task_.request_stop();
    task_.join();
  }
}

std::int64_t Downloader::incompleteFileSize(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size);
}

Downloader::Subscription Downloader::startDownload(const std::string& url, const std::optional<std::string>& authToken,
                                                   const std::map<std::string, std::string>& headers,
                                                   std::optional<std::int64_t> expectedSize,
                                                   std::chrono::milliseconds timeout, int numRetries,
                                                   std::optional<std::string> expectedSha256) {
  Transfer transfer{url, {}, expectedSize, timeout, numRetries, std::move(expectedSha256)};
  for (const auto& [name, value] : headers) transfer.headers.set(name, value);
  if (authToken) transfer.headers.set("Authorization", "Bearer " + *authToken);
  auto subscription = broadcaster_.subscribe();
  std::lock_guard lock(taskMutex_);
  if (task_.joinable()) {
    task_.request_stop();
    task_.join();
  }
  task_ = std::jthread([this, transfer = std::move(transfer)](std::stop_token stop) mutable {
    run(std::move(stop), std::move(transfer));
  });
  return subscription;
}

void Downloader::cancel() {
  {
    std::lock_guard lock(taskMutex_);
    task_.request_stop();
  }
  broadcaster_.broadcast(Failed{std::make_exception_ptr(
      TransferError(TransferError::Kind::cancelled, "The download of " + destination_.filename().string() + " was cancelled"))});
}

void Downloader::run(std::stop_token stop, Transfer transfer) {
  try {
    const std::int64_t resumeSize = incompleteFileSize(incompleteDestination_);
    const auto expected = transfer.expectedSize;
    double first = resumeSize > 0 && expected && *expected >= 1 ? double(resumeSize) / double(*expected) : 0.0;
    broadcaster_.broadcast(Downloading{first, std::nullopt});

    PartialFile file(incompleteDestination_, transfer.expectedSha256.has_value());
    PieceWriter writer(file, chunkSize_);
    std::vector<char> buffer;
    buffer.reserve(chunkSize_);
    int retriesLeft = transfer.numRetries;
    // Only bytes beyond the furthest point reached restore the budget, and the attempts of one
    // start are bounded whatever the server does.
    std::int64_t furthest = file.size();
    const std::int64_t pieces =
        expected ? (*expected + static_cast<std::int64_t>(chunkSize_) - 1) / static_cast<std::int64_t>(chunkSize_) : 100;
    const std::int64_t maxAttempts = std::int64_t(std::max(transfer.numRetries, 0)) + 1 + 2 * pieces;
    std::int64_t attempts = 0;
    bool restarted = false;
    auto lastUpdate = std::chrono::steady_clock::now();
    std::int64_t lastReported = file.size();
    std::int64_t handedOver = file.size();  // bytes in the file or on their way to it

    auto flush = [&](bool report) {
      if (buffer.empty()) return;
      handedOver += static_cast<std::int64_t>(buffer.size());
      writer.submit(buffer);
      if (!report) return;
      if (handedOver > furthest) {
        furthest = handedOver;
        retriesLeft = kRestoredRetries;
      }
      if (!expected) return;
      auto now = std::chrono::steady_clock::now();
      double elapsed = std::chrono::duration<double>(now - lastUpdate).count();
      double progress = *expected == 0 ? 0.0 : double(handedOver) / double(*expected);
      std::optional<double> speed;
      if (elapsed > 0) speed = double(handedOver - lastReported) / elapsed;
      lastUpdate = now;
      lastReported = handedOver;
      broadcaster_.broadcast(Downloading{progress, speed});
    };
    auto startOver = [&] {
      writer.drain();
      file.truncate();
      handedOver = 0;
      lastReported = 0;
    };

    const std::string name = destination_.filename().string();
    auto overlong = [&] {
      writer.drain();
      ::unlink(incompleteDestination_.c_str());
      return DownloadError(Kind::unexpectedError, "The download of " + name + " is longer than the announced " +
                                                      std::to_string(*expected) + " bytes; the partial file was deleted");
    };

    for (;;) {
      writer.drain();
      if (++attempts > maxAttempts)
        throw DownloadError(Kind::unexpectedError, "The download of " + name + " gave up after " +
                                                       std::to_string(maxAttempts) + " attempts");
      const std::int64_t from = file.size();
      handedOver = from;
      platform::net::HttpRequest request;
      request.url = transfer.url;
      request.headers = transfer.headers;
      if (from > 0) request.headers.set("Range", "bytes=" + std::to_string(from) + "-");
      request.timeout = transfer.timeout;
      request.minimumRate = rateFloor_.bytesPerSecond;
      request.rateWindow = rateFloor_.window;
      request.maxRedirects = kMaxRedirects;

      bool headSeen = false;
      bool alreadyWhole = false;  // 416 for a partial file of the expected size
      bool restart = false;       // 416 for any other partial file
      platform::net::HttpStreamHandler handler;
      handler.onHead = [&](const platform::net::HttpResponse& head) {
        headSeen = true;
        if (head.status == 416 && from > 0) {
          if (expected && from == *expected) alreadyWhole = true;
          else restart = true;
          return;
        }
        if (head.status < 200 || head.status > 299)
          throw DownloadError(Kind::unexpectedError,
                              "GET " + transfer.url + " answered with status " + std::to_string(head.status));
        if (from > 0 && head.status == 200) {
          startOver();  // the whole file came instead of the rest
        } else if (from > 0 && rangeStart(head.headers.value("Content-Range")) != from) {
          throw DownloadError(Kind::unexpectedError, "GET " + transfer.url + " answered a range that does not start at " +
                                                         std::to_string(from));
        }
      };
      handler.onBody = [&](std::string_view bytes) {
        if (alreadyWhole || restart) return;
        if (expected && handedOver + static_cast<std::int64_t>(buffer.size() + bytes.size()) > *expected) throw overlong();
        while (!bytes.empty()) {
          std::size_t n = std::min(bytes.size(), chunkSize_ - buffer.size());
          buffer.insert(buffer.end(), bytes.data(), bytes.data() + n);
          bytes.remove_prefix(n);
          if (buffer.size() >= chunkSize_) flush(true);
        }
      };

      try {
        platform::net::performStreaming(request, handler, stop);
      } catch (const TransferError& e) {
        if (e.kind == TransferError::Kind::cancelled) throw;
        // A failure before the answer's head is not retried; one inside the body is, from the
        // last written byte. Bytes not yet written are asked for again.
        if (!headSeen || retriesLeft <= 0) throw;
        buffer.clear();
        waitOrStop(retryDelay_, stop);
        --retriesLeft;
        continue;
      }
      if (restart) {
        if (restarted)
          throw DownloadError(Kind::unexpectedError, "GET " + transfer.url + " refused the range twice (status 416)");
        restarted = true;
        startOver();
        continue;
      }
      flush(false);
      writer.drain();
      break;
    }

    if (stop.stop_requested()) throw kestrum::CancellationError();

    if (expected && file.size() != *expected) {
      ::unlink(incompleteDestination_.c_str());
      throw DownloadError(Kind::unexpectedError, "The download of " + name + " has " + std::to_string(file.size()) +
                                                     " bytes instead of " + std::to_string(*expected) +
                                                     "; the partial file was deleted");
    }
    if (transfer.expectedSha256) {
      std::string digest = file.digestHex();
      if (digest != *transfer.expectedSha256) {
        ::unlink(incompleteDestination_.c_str());
        HubApi::log(platform::system::LogType::error, "The download of " + name + " has SHA-256 " + digest +
                                                          " instead of " + *transfer.expectedSha256 +
                                                          "; the file was deleted");
        throw HubApi::EnvironmentError::fileIntegrityError("Hash mismatch for " + name);
      }
    }
    // One rename: the old destination stays until the new file replaces it.
    fs::create_directories(destination_.parent_path());
    if (::rename(incompleteDestination_.c_str(), destination_.c_str()) != 0)
      throw fs::filesystem_error("Cannot move the download into place", incompleteDestination_, destination_,
                                 std::error_code(errno, std::generic_category()));
    broadcaster_.broadcast(Completed{destination_});
  } catch (...) {
    broadcaster_.broadcast(Failed{std::current_exception()});
  }
}

}  // namespace hub
