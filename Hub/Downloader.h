// Transfers one file with a resumable HTTP GET into a partial file, then renames the partial
// file over the destination. A start resumes after the bytes the partial file already holds
// ("Range: bytes=N-"), writes the body to it as it arrives (what arrives while a write runs is
// gathered into the next, at most `chunkSize` bytes: the only memory it holds), so the file keeps
// every byte received when a transfer breaks or the process dies, retries from there, and checks
// size and, when given, SHA-256 before the rename. It never throws to its caller: progress and the outcome arrive as
// DownloadState values through a subscription. One downloader serves one file; its operations
// may be called from any thread; the transfer runs on a thread of its own, which cancel() and
// the destructor stop.
//   Downloader d(dest, dest.string() + ".incomplete");  auto states = d.startDownload(url, token, {}, size);
//   while (auto s = states.next()) if (!std::holds_alternative<Downloader::Downloading>(*s)) break;
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>

#include "Hub/Broadcaster.h"
#include "platform/Net/Url.h"

namespace hub {

// A transfer that averages fewer than `bytesPerSecond` over the last `window` breaks (bursts in
// between do not help), and is retried as any broken one.
struct DownloadRateFloor {
  long bytesPerSecond = 1024;
  std::chrono::seconds window{30};
};

class Downloader {
 public:
  struct Downloading {
    double progress = 0;           // fraction of the expected size
    std::optional<double> speed;   // bytes per second since the previous report
  };
  struct Completed {
    std::filesystem::path file;  // always the destination
  };
  struct Failed {
    std::exception_ptr error;  // as it arose
  };
  struct NotStarted {};
  using DownloadState = std::variant<Downloading, Completed, Failed, NotStarted>;
  using Subscription = Broadcaster<DownloadState>::Subscription;

  // Compared by kind; what() says what happened and names the URL (without its user information
  // or query) or file.
  class DownloadError : public std::runtime_error {
   public:
    enum class Kind { invalidDownloadLocation, unexpectedError, tempFileNotFound };
    DownloadError(Kind kind, const std::string& message)
        : std::runtime_error(platform::net::redactUrls(message)), kind(kind) {}
    Kind kind;
  };

  static constexpr std::size_t kDefaultChunkSize = 10 * 1024 * 1024;

  using RateFloor = DownloadRateFloor;

  // `inBackground` is recorded only: transfers end with the process here. `retryDelay` is the
  // wait before a broken transfer is asked for again.
  Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination, bool inBackground = false,
             std::size_t chunkSize = kDefaultChunkSize,
             std::chrono::milliseconds retryDelay = std::chrono::milliseconds(1000), RateFloor rateFloor = {});
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Starts the transfer (stopping an earlier one first) and returns a new subscription, taken
  // before the transfer begins, so it sees every state: NotStarted, Downloading (resumed
  // fraction), while the size is known one Downloading at the end of each piece of `chunkSize`
  // bytes and, between them, one at most every 250 ms as bytes arrive, then Completed or
  // Failed. The partial file must exist. A retry budget is restored to 5 by every full piece received
  // that reaches beyond the bytes held before (a server that starts over restores nothing; the
  // bytes a broken attempt leaves short of a piece are kept but restore nothing either), and
  // one start makes at most numRetries + 1 + twice the number of pieces attempts (100 pieces
  // when the size is unknown). With `expectedSize`, a body that runs past it stops the transfer
  // at once and deletes the partial file.
  // `expectedSha256`: the finished file must have this digest, else it is deleted and the
  // transfer fails with HubApi::EnvironmentError (fileIntegrityError). A partial file that
  // cannot be written (a full disk) is deleted, and the transfer fails with that file error.
  Subscription startDownload(const std::string& url, const std::optional<std::string>& authToken,
                             const std::map<std::string, std::string>& headers,
                             std::optional<std::int64_t> expectedSize,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10), int numRetries = 5,
                             std::optional<std::string> expectedSha256 = std::nullopt);

  // Stops the transfer and broadcasts Failed with TransferError(cancelled); the partial file
  // keeps what was received.
  void cancel();

  Subscription subscribe() { return broadcaster_.subscribe(); }

  // The size of the file at `path`, 0 when there is none or it cannot be read.
  static std::int64_t incompleteFileSize(const std::filesystem::path& path);

  const std::filesystem::path& destination() const { return destination_; }
  const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }
  bool inBackground() const { return inBackground_; }
  std::size_t chunkSize() const { return chunkSize_; }

 private:
  struct Transfer;
  class Session;
  void run(std::stop_token stop, Transfer transfer);

  const std::filesystem::path destination_;
  const std::filesystem::path incompleteDestination_;
  const bool inBackground_;
  const std::size_t chunkSize_;
  const std::chrono::milliseconds retryDelay_;
  const RateFloor rateFloor_;
  Broadcaster<DownloadState> broadcaster_;
  std::mutex taskMutex_;
  std::jthread task_;
};

}  // namespace hub
