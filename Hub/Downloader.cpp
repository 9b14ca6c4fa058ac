#include "Hub/Downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "platform/Net/Url.h"

namespace hub {
namespace fs = std::filesystem;
using platform::net::TransferError;
using Kind = Downloader::DownloadError::Kind;

namespace {

constexpr int kRestoredRetries = 5;
// Between two pieces, progress is reported at most this often (and only as bytes arrive).
constexpr std::chrono::milliseconds kReportInterval{250};
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

  // Writes at the end, or digests; pieces in file order.
  void write(const std::vector<char>& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) errno = ENOSPC;
      if (n <= 0) {
        writeFailed_ = true;
        throwErrno("Cannot write the partial file", path_);
      }
      written += static_cast<std::size_t>(n);
    }
    size_ += static_cast<std::int64_t>(bytes.size());
  }
  void digest(const std::vector<char>& bytes) {
    if (sha_) sha_->update(std::string_view(bytes.data(), bytes.size()));
  }
  bool digesting() const { return sha_ != nullptr; }
  // A write failed (a full disk, say): what the file holds is no use to a later start.
  bool writeFailed() const { return writeFailed_; }

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
  std::atomic<bool> writeFailed_ = false;  // set on the writer's thread
};

// Writes and digests on a thread of its own whatever has arrived, as soon as it is free: on a
// slow line every piece of the body reaches the file at once (a process killed mid-download keeps
// it), on a fast one the bytes that arrive meanwhile gather into one write of up to `capacity`.
// At most two such buffers are held.
class BodyWriter {
 public:
  BodyWriter(PartialFile& file, std::size_t capacity) : file_(file), capacity_(capacity) {
    incoming_.reserve(capacity);  // the two buffers swap: both keep their storage
    pending_.reserve(capacity);
    thread_ = std::thread([this] { loop(); });
  }
  ~BodyWriter() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_.notify_all();
    thread_.join();
  }
  BodyWriter(const BodyWriter&) = delete;
  BodyWriter& operator=(const BodyWriter&) = delete;

  // Queues the bytes for the file, waiting while `capacity` bytes wait already; rethrows a failed write.
  void append(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    while (!bytes.empty()) {
      room_.wait(lock, [&] { return incoming_.size() < capacity_ || error_; });
      if (error_) std::rethrow_exception(error_);
      const std::size_t n = std::min(bytes.size(), capacity_ - incoming_.size());
      incoming_.insert(incoming_.end(), bytes.data(), bytes.data() + n);
      bytes.remove_prefix(n);
      work_.notify_all();
    }
  }
  // Returns once every byte is in the file; rethrows a failed write, after which nothing more is written.
  void drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return (incoming_.empty() && !busy_) || error_; });
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void loop() {
    // Below this a digest beside the write costs more than it saves.
    constexpr std::size_t kParallelDigest = 1 << 20;
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return (!incoming_.empty() && !error_) || stopping_; });
      if (stopping_) return;
      std::swap(incoming_, pending_);
      busy_ = true;
      room_.notify_all();
      lock.unlock();
      std::exception_ptr error;
      // The digest runs beside the write; both only read the bytes.
      std::thread digest;
      if (file_.digesting() && pending_.size() >= kParallelDigest) digest = std::thread([this] { file_.digest(pending_); });
      try {
        file_.write(pending_);
      } catch (...) {
        error = std::current_exception();
      }
      if (digest.joinable()) digest.join();
      else file_.digest(pending_);
      pending_.clear();
      lock.lock();
      if (error) error_ = error;
      busy_ = false;
      idle_.notify_all();
      room_.notify_all();
    }
  }

  PartialFile& file_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::condition_variable idle_;
  std::vector<char> incoming_;
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

// One start's transfer: the GET attempts into the partial file, with the retry budget, the
// progress reports and the checks before the destination is replaced.
class Downloader::Session {
 public:
  Session(Downloader& owner, const Transfer& transfer, const std::stop_token& stop)
      : owner_(owner),
        transfer_(transfer),
        stop_(stop),
        expected_(transfer.expectedSize),
        name_(owner.destination_.filename().string()),
        file_(owner.incompleteDestination_, transfer.expectedSha256.has_value()),
        writer_(file_, owner.chunkSize_),
        retriesLeft_(transfer.numRetries),
        furthest_(file_.size()),
        maxAttempts_(std::int64_t(std::max(transfer.numRetries, 0)) + 1 + 2 * pieceCount()),
        lastReported_(file_.size()),
        handedOver_(file_.size()) {}

  // Asks for the file until its body has arrived whole; throws when it cannot.
  void receive() {
    while (!attempt()) {
    }
  }

  // Checks the size and the digest, then renames the partial file over the destination.
  void moveIntoPlace();

  // After a failure: a partial file that could not be written is removed, so a full disk is
  // not left fuller; one whose transfer broke stays for the next start.
  void discardIfUnwritable();

 private:
  // The pieces the file is written in; 100 when its size is unknown.
  std::int64_t pieceCount() const {
    const auto chunk = static_cast<std::int64_t>(owner_.chunkSize_);
    return expected_ ? (*expected_ + chunk - 1) / chunk : 100;
  }
  // One GET from the first byte the file lacks; false when another attempt is to follow.
  bool attempt();
  void onHead(const platform::net::HttpResponse& head);
  void onBody(std::string_view bytes);
  // A piece of `chunkSize` bytes has arrived: restores the retry budget when it reaches further
  // than before, and reports.
  void pieceArrived();
  void reportProgress();
  // The server sent the whole file instead of the rest: the partial file is emptied.
  void startOver();
  DownloadError overlong();
  
  Downloader& owner_;
  const Transfer& transfer_;
  const std::stop_token& stop_;
  const std::optional<std::int64_t> expected_;
  const std::string name_;
  PartialFile file_;
  BodyWriter writer_;
  // Only bytes beyond the furthest point reached restore the budget, and the attempts of one
  // start are bounded whatever the server does.
  int retriesLeft_;
  std::int64_t furthest_;
  const std::int64_t maxAttempts_;
  std::int64_t attempts_ = 0;
  bool restarted_ = false;
  std::chrono::steady_clock::time_point lastUpdate_ = std::chrono::steady_clock::now();
  std::int64_t lastReported_;
  std::int64_t handedOver_;  // bytes in the file or on their way to it
  std::size_t inPiece_ = 0;  // bytes of this attempt since its last full piece
  // This attempt's answer.
  std::int64_t from_ = 0;
  bool headSeen_ = false;
  bool alreadyWhole_ = false;  // 416 for a partial file of the expected size
  bool restart_ = false;       // 416 for any other partial file
};

bool Downloader::Session::attempt() {
  writer_.drain();
  if (++attempts_ > maxAttempts_)
    throw DownloadError(Kind::unexpectedError,
                        "The download of " + name_ + " gave up after " + std::to_string(maxAttempts_) + " attempts");
  from_ = file_.size();
  handedOver_ = from_;
  inPiece_ = 0;
  headSeen_ = alreadyWhole_ = restart_ = false;
  platform::net::HttpRequest request;
  request.url = transfer_.url;
  request.headers = transfer_.headers;
  if (from_ > 0) request.headers.set("Range", "bytes=" + std::to_string(from_) + "-");
  request.timeout = transfer_.timeout;
  request.minimumRate = owner_.rateFloor_.bytesPerSecond;
  request.rateWindow = owner_.rateFloor_.window;
  request.maxRedirects = kMaxRedirects;
  platform::net::HttpStreamHandler handler;
  handler.onHead = [this](const platform::net::HttpResponse& head) { onHead(head); };
  handler.onBody = [this](std::string_view bytes) { onBody(bytes); };

  try {
    platform::net::performStreaming(request, handler, stop_);
  } catch (const TransferError& e) {
    // Every byte that arrived is in the partial file, so the next attempt, or the next start,
    // asks only for the rest: a file smaller than a piece is not fetched from byte 0 again
    // after every break.
    writer_.drain();
    if (e.kind == TransferError::Kind::cancelled) throw;
    // A failure before the answer's head is not retried; one inside the body is.
    if (!headSeen_ || retriesLeft_ <= 0) throw;
    waitOrStop(owner_.retryDelay_, stop_);
    --retriesLeft_;
    return false;
  }
  if (restart_) {
    if (restarted_)
      throw DownloadError(Kind::unexpectedError,
                          "GET " + platform::net::redactUrl(transfer_.url) + " refused the range twice (status 416)");
    restarted_ = true;
    startOver();
    return false;
  }
  writer_.drain();
  return true;
}

void Downloader::Session::onHead(const platform::net::HttpResponse& head) {
  headSeen_ = true;
  if (head.status == 416 && from_ > 0) {
    if (expected_ && from_ == *expected_) alreadyWhole_ = true;
    else restart_ = true;
    return;
  }
  if (head.status < 200 || head.status > 299)
    throw DownloadError(Kind::unexpectedError, "GET " + platform::net::redactUrl(transfer_.url) + " answered with status " +
                                                   std::to_string(head.status));
  if (from_ > 0 && head.status == 200) {
    startOver();  // the whole file came instead of the rest
  } else if (from_ > 0 && rangeStart(head.headers.value("Content-Range")) != from_) {
    throw DownloadError(Kind::unexpectedError,
                        "GET " + platform::net::redactUrl(transfer_.url) + " answered a range that does not start at " +
                            std::to_string(from_));
  }
}

void Downloader::Session::onBody(std::string_view bytes) {
  if (alreadyWhole_ || restart_) return;
  if (expected_ && handedOver_ + static_cast<std::int64_t>(bytes.size()) > *expected_) throw overlong();
  const std::size_t chunkSize = owner_.chunkSize_;
  while (!bytes.empty()) {
    // Cut at the piece's end, so that its report says exactly where it ends.
    const std::size_t n = std::min(bytes.size(), chunkSize - inPiece_);
    writer_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
    handedOver_ += static_cast<std::int64_t>(n);
    inPiece_ += n;
    if (inPiece_ == chunkSize) {
      inPiece_ = 0;
      pieceArrived();
    } else if (expected_ && std::chrono::steady_clock::now() - lastUpdate_ >= kReportInterval) {
      reportProgress();  // a slow line moves the bar between pieces
    }
  }
}

void Downloader::Session::pieceArrived() {
  if (handedOver_ > furthest_) {
    furthest_ = handedOver_;
    retriesLeft_ = kRestoredRetries;
  }
  if (expected_) reportProgress();
}

void Downloader::Session::reportProgress() {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - lastUpdate_).count();
  const double progress = *expected_ == 0 ? 0.0 : double(handedOver_) / double(*expected_);
  std::optional<double> speed;
  if (elapsed > 0) speed = double(handedOver_ - lastReported_) / elapsed;
  lastUpdate_ = now;
  lastReported_ = handedOver_;
  owner_.broadcaster_.broadcast(Downloading{progress, speed});
}

void Downloader::Session::startOver() {
  writer_.drain();
  file_.truncate();
  handedOver_ = 0;
  lastReported_ = 0;
  inPiece_ = 0;
}

Downloader::DownloadError Downloader::Session::overlong() {
  writer_.drain();
  ::unlink(owner_.incompleteDestination_.c_str());
  return DownloadError(Kind::unexpectedError, "The download of " + name_ + " is longer than the announced " +
                                                  std::to_string(*expected_) + " bytes; the partial file was deleted");
}

void Downloader::Session::moveIntoPlace() {
  const fs::path& partial = owner_.incompleteDestination_;
  const fs::path& destination = owner_.destination_;
  if (expected_ && file_.size() != *expected_) {
    ::unlink(partial.c_str());
    throw DownloadError(Kind::unexpectedError, "The download of " + name_ + " has " + std::to_string(file_.size()) +
                                                   " bytes instead of " + std::to_string(*expected_) +
                                                   "; the partial file was deleted");
  }
  if (transfer_.expectedSha256) {
    const std::string digest = file_.digestHex();
    if (digest != *transfer_.expectedSha256) {
      ::unlink(partial.c_str());
      HubApi::log(platform::system::LogType::error, "The download of " + name_ + " has SHA-256 " + digest +
                                                        " instead of " + *transfer_.expectedSha256 +
                                                        "; the file was deleted");
      throw HubApi::EnvironmentError::fileIntegrityError("Hash mismatch for " + name_);
    }
  }
  // One rename: the old destination stays until the new file replaces it.
  fs::create_directories(destination.parent_path());
  if (::rename(partial.c_str(), destination.c_str()) != 0)
    throw fs::filesystem_error("Cannot move the download into place", partial, destination,
                               std::error_code(errno, std::generic_category()));
}

void Downloader::Session::discardIfUnwritable() {
  // Only a failed write of the partial file is thrown here: the failure on its way to the
  // subscriber already, or one that it overtook. writeFailed() records it for the removal below;
  // its text goes to the log rather than replace the failure being reported.
  try {
    writer_.drain();
  } catch (const std::exception& e) {
    HubApi::log(platform::system::LogType::debug, "The download of " + name_ + " also failed to write: " + e.what());
  }
  if (file_.writeFailed()) ::unlink(owner_.incompleteDestination_.c_str());
}

void Downloader::run(std::stop_token stop, Transfer transfer) {
  try {
    const std::int64_t resumeSize = incompleteFileSize(incompleteDestination_);
    const auto expected = transfer.expectedSize;
    const double resumed = resumeSize > 0 && expected && *expected >= 1 ? double(resumeSize) / double(*expected) : 0.0;
    broadcaster_.broadcast(Downloading{resumed, std::nullopt});

    Session session(*this, transfer, stop);
    try {
      session.receive();
    } catch (...) {
      session.discardIfUnwritable();
      throw;
    }
    if (stop.stop_requested()) throw kestrum::CancellationError();
    session.moveIntoPlace();
    broadcaster_.broadcast(Completed{destination_});
  } catch (...) {
    broadcaster_.broadcast(Failed{std::current_exception()});
  }
}

}  // namespace hub
