#include "Hub/Downloader.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "platform/Net/Http.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace hub {
namespace {

namespace fs = std::filesystem;
using testsupport::HubTestServer;
using State = Downloader::DownloadState;
constexpr std::size_t MiB = 1 << 20;

// Bytes that differ at every offset, so a misplaced piece shows.
std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

HubTestServer::FileFaults dropping(std::size_t after, int count = 0) {
  HubTestServer::FileFaults f;
  f.dropAfter = after;
  f.dropCount = count;
  return f;
}
HubTestServer::FileFaults withFault(void (*set)(HubTestServer::FileFaults&)) {
  HubTestServer::FileFaults f;
  if (set) set(f);
  return f;
}

// Every state up to and including the first terminal one.
std::vector<State> collect(Downloader::Subscription& states) {
  std::vector<State> seen;
  while (auto s = states.next()) {
    seen.push_back(*s);
    if (std::holds_alternative<Downloader::Completed>(*s) || std::holds_alternative<Downloader::Failed>(*s)) break;
  }
  return seen;
}

// The error of the final Failed state; a logic_error when the transfer did not fail.
std::exception_ptr failure(const std::vector<State>& states) {
  auto* failed = states.empty() ? nullptr : std::get_if<Downloader::Failed>(&states.back());
  return failed ? failed->error : std::make_exception_ptr(std::logic_error("the transfer did not fail"));
}

template <class E>
E errorOf(const std::vector<State>& states) {
  try {
    std::rethrow_exception(failure(states));
  } catch (const E& e) {
    return e;
  }
}

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override { server.addRepository("models", "o/r"); }

  void addLarge(const std::string& name, std::string content) { server.addFile("models", "o/r", name, std::move(content), true); }
  void faults(const std::string& name, HubTestServer::FileFaults f) { server.setFaults("models", "o/r", name, std::move(f)); }
  std::string url(const std::string& name) const { return server.endpoint() + "/o/r/resolve/main/" + name; }

  // The Range headers of the GETs that reached the content origin, "" for none.
  std::vector<std::string> contentRanges() const {
    std::vector<std::string> ranges;
    for (const auto& r : server.requests())
      if (r.server == "content" && r.method == "GET") ranges.push_back(r.header("Range").value_or(""));
    return ranges;
  }

  // As run(), but a transfer still going after `limit` is cancelled, so a transfer that would
  // never end fails the test instead of hanging it.
  std::vector<State> runWithin(Downloader& d, const std::string& name, std::optional<std::int64_t> size,
                               std::chrono::seconds limit, int retries = 5) {
    auto states = d.startDownload(url(name), std::nullopt, {}, size, std::chrono::seconds(10), retries);
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mutex);
      if (!finished.wait_for(lock, limit, [&] { return done; })) d.cancel();
    });
    auto seen = collect(states);
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    finished.notify_all();
    watchdog.join();
    return seen;
  }

  std::vector<State> run(Downloader& d, const std::string& name, std::optional<std::int64_t> size, int retries = 5,
                         std::optional<std::string> sha = std::nullopt) {
    auto states = d.startDownload(url(name), std::nullopt, {}, size, std::chrono::seconds(10), retries, std::move(sha));
    return collect(states);
  }

  HubTestServer server;
  testsupport::TempDir dir;
  fs::path destination = dir.path() / "out" / "model.bin";
  fs::path partial = dir.path() / "meta" / "model.bin.abc.incomplete";
  std::chrono::milliseconds quickRetry{10};
};

TEST_F(DownloaderTest, DroppedTransferResumesFromThePartialFileOnTheNextStart) {
  const std::string content = patterned(40 * MiB);
  addLarge("model.bin", content);
  faults("model.bin", dropping(15 * MiB, 1));
  writeFile(partial, "");

  {
    // The first start gives up (here: is cancelled) while it waits to retry the broken transfer.
    Downloader first(destination, partial, false, Downloader::kDefaultChunkSize, std::chrono::seconds(5));
    auto states = first.startDownload(url("model.bin"), std::nullopt, {}, content.size());
    while (auto s = states.next()) {
      auto* d = std::get_if<Downloader::Downloading>(&*s);
      if (d && d->progress > 0) break;
    }
    // The break has written what arrived before it; the retry waits.
    while (fs::file_size(partial) < 15 * MiB) std::this_thread::yield();
    first.cancel();
    auto rest = collect(states);
    EXPECT_THROW(std::rethrow_exception(failure(rest)), platform::net::TransferError);
  }
  // Every byte that arrived was kept, the 5 MiB short of the second piece too.
  ASSERT_EQ(fs::file_size(partial), 15 * MiB);
  EXPECT_TRUE(readAll(partial) == content.substr(0, 15 * MiB));
  EXPECT_FALSE(fs::exists(destination));

  server.clearRequests();
  Downloader second(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
  auto states = run(second, "model.bin", content.size(), 5, HubTestServer::sha256Hex(content));
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
  EXPECT_EQ(contentRanges(), std::vector<std::string>{"bytes=15728640-"});
  // The first progress is the resumed fraction.
  ASSERT_TRUE(std::holds_alternative<Downloader::Downloading>(states.at(1)));
  EXPECT_DOUBLE_EQ(std::get<Downloader::Downloading>(states[1]).progress, 0.375);
  EXPECT_TRUE(readAll(destination) == content);
  EXPECT_EQ(HubApi().computeFileHash(destination), HubTestServer::sha256Hex(content));
  EXPECT_FALSE(fs::exists(partial));
}

TEST_F(DownloaderTest, BreaksAfterAWrittenPieceAreRetriedFromTheLastByteReceived) {
  const std::string content = patterned(40 * MiB);
  addLarge("model.bin", content);
  faults("model.bin", dropping(15 * MiB));  // every GET breaks after 15 MiB of its body
  writeFile(partial, "");
  Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
  auto states = run(d, "model.bin", content.size(), 5);
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
  EXPECT_EQ(contentRanges(), (std::vector<std::string>{"", "bytes=15728640-", "bytes=31457280-"}));
  EXPECT_TRUE(readAll(destination) == content);
}

// Bytes short of a piece are kept but restore no retries: six breaks in a row without a full
// piece end the start, and the next start resumes after the bytes they brought.
TEST_F(DownloaderTest, SixBreaksWithoutAWrittenPieceEndInFailureKeepingWhatArrived) {
  const std::string content = patterned(8 * MiB);
  addLarge("model.bin", content);
  faults("model.bin", dropping(1 * MiB));
  writeFile(partial, "");
  Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
  auto states = run(d, "model.bin", content.size(), 5);
  EXPECT_THROW(std::rethrow_exception(failure(states)), platform::net::TransferError);
  EXPECT_EQ(contentRanges().size(), 6u);
  EXPECT_EQ(contentRanges().back(), "bytes=5242880-");
  ASSERT_EQ(fs::file_size(partial), 6 * MiB);
  EXPECT_TRUE(readAll(partial) == content.substr(0, 6 * MiB));
  EXPECT_FALSE(fs::exists(destination));
}

// A file smaller than one piece used to be asked for from byte 0 after every break.
TEST_F(DownloaderTest, BrokenTransferKeepsWhatArrivedAndAsksOnlyForTheRest) {
  const std::string content = patterned(1 * MiB);
  struct Case {
    const char* name;
    std::size_t held;       // bytes of the partial file at the start
    std::size_t dropAfter;  // body bytes of the first GET
    std::vector<std::string> ranges;
  } cases[] = {
      {"from an empty partial file", 0, 600 * 1024, {"", "bytes=614400-"}},
      {"from a resumed partial file", 3000, 1000, {"bytes=3000-", "bytes=4000-"}},
  };
  addLarge("model.bin", content);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    faults("model.bin", dropping(c.dropAfter, 1));
    fs::remove(destination);
    writeFile(partial, content.substr(0, c.held));
    server.clearRequests();
    Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
    auto states = run(d, "model.bin", content.size(), 5, HubTestServer::sha256Hex(content));
    ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
    EXPECT_EQ(contentRanges(), c.ranges);
    EXPECT_TRUE(readAll(destination) == content);
  }
}

// A partial file in a state that used to wedge every later attempt now recovers in one start.
TEST_F(DownloaderTest, RangeAnswersThatDoNotFitThePartialFileRecover) {
  const std::string content = patterned(64 * 1024);
  struct Case {
    const char* name;
    std::string partialBytes;
    HubTestServer::FileFaults faults;
    std::vector<std::string> ranges;
  } cases[] = {
      // 200 with the whole file: written from 0, not appended.
      {"whole file for a range", std::string(3000, 'x'), withFault([](auto& f) { f.ignoreRange = true; }), {"bytes=3000-"}},
      // 416 for a partial file that already holds everything: finished without a body.
      {"416 for a complete partial file", content, withFault(nullptr), {"bytes=65536-"}},
      // 416 for a partial file longer than the file: started again from 0.
      {"416 for an overlong partial file", content + "junk", withFault(nullptr), {"bytes=65540-", ""}},
  };
  addLarge("model.bin", content);
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    faults("model.bin", c.faults);
    fs::remove(destination);
    writeFile(partial, c.partialBytes);
    server.clearRequests();
    Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
    auto states = run(d, "model.bin", content.size(), 5, HubTestServer::sha256Hex(content));
    ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
    EXPECT_EQ(contentRanges(), c.ranges);
    EXPECT_TRUE(readAll(destination) == content);
    EXPECT_FALSE(fs::exists(partial));
  }
}

TEST_F(DownloaderTest, WrongSizeOrDigestDeletesThePartialFileAndKeepsTheDestination) {
  const std::string content = patterned(64 * 1024);
  addLarge("model.bin", content);
  struct Case {
    const char* name;
    HubTestServer::FileFaults faults;
    std::optional<std::string> sha;
    bool integrityError;
  } cases[] = {
      {"one byte too many", withFault([](auto& f) { f.sizeSkew = 1; }), std::nullopt, false},
      {"one byte too few", withFault([](auto& f) { f.sizeSkew = -1; }), std::nullopt, false},
      {"digest differs", withFault(nullptr), std::string(64, 'a'), true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    faults("model.bin", c.faults);
    writeFile(destination, "old");
    writeFile(partial, "");
    Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
    auto states = run(d, "model.bin", content.size(), 5, c.sha);
    if (c.integrityError) {
      auto e = errorOf<HubApi::EnvironmentError>(states);
      EXPECT_EQ(e.kind(), HubApi::EnvironmentError::Kind::fileIntegrityError);
      EXPECT_STREQ(e.what(), "File integrity check failed: Hash mismatch for model.bin");
    } else {
      EXPECT_EQ(errorOf<Downloader::DownloadError>(states).kind, Downloader::DownloadError::Kind::unexpectedError);
    }
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(readAll(destination), "old");
  }
}

TEST_F(DownloaderTest, BodyLongerThanAnnouncedStopsAtOnceAndDeletesThePartialFile) {
  addLarge("model.bin", patterned(1000));
  faults("model.bin", withFault([](auto& f) { f.endless = true; }));
  writeFile(partial, "");
  Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
  auto states = runWithin(d, "model.bin", 1000, std::chrono::seconds(10));
  auto e = errorOf<Downloader::DownloadError>(states);
  EXPECT_EQ(e.kind, Downloader::DownloadError::Kind::unexpectedError);
  EXPECT_NE(std::string(e.what()).find("longer than the announced 1000 bytes"), std::string::npos) << e.what();
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_EQ(contentRanges().size(), 1u);  // not retried
}

// A server that ignores Range and cuts every answer: each attempt starts over from byte 0 and
// rewrites the same pieces, which restores nothing, so the retries run out.
TEST_F(DownloaderTest, ServerThatStartsOverOnEveryAttemptExhaustsTheRetries) {
  const std::size_t piece = 64 * 1024;
  const std::string content = patterned(12 * piece);
  addLarge("model.bin", content);
  auto f = dropping(11 * piece);
  f.ignoreRange = true;
  faults("model.bin", f);
  writeFile(partial, "");
  Downloader d(destination, partial, false, piece, quickRetry);
  auto states = runWithin(d, "model.bin", content.size(), std::chrono::seconds(20));
  auto e = errorOf<platform::net::TransferError>(states);
  EXPECT_NE(e.kind, platform::net::TransferError::Kind::cancelled) << "still retrying after 20 s";
  EXPECT_EQ(contentRanges().size(), 6u);
  EXPECT_FALSE(fs::exists(destination));
}

// The attempts of one start are bounded even when every attempt gets further than the one
// before: here an endless body of unknown size that breaks after one new piece every time.
TEST_F(DownloaderTest, AttemptsOfOneStartAreBoundedWhateverTheServerDoes) {
  const std::size_t piece = 1024;
  addLarge("model.bin", patterned(piece));
  auto f = dropping(piece + 10);
  f.endless = true;
  faults("model.bin", f);
  writeFile(partial, "");
  Downloader d(destination, partial, false, piece, std::chrono::milliseconds(1));
  auto states = runWithin(d, "model.bin", std::nullopt, std::chrono::seconds(30), /*retries=*/0);
  auto e = errorOf<Downloader::DownloadError>(states);
  EXPECT_STREQ(e.what(), "The download of model.bin gave up after 201 attempts");
  EXPECT_EQ(contentRanges().size(), 201u);
  EXPECT_EQ(fs::file_size(partial), 201 * (piece + 10));  // each attempt's bytes, the piece and the ten after it
}

// A trickle above the idle time-out but under the rate floor breaks the transfer, which is
// retried and then fails; the bytes written before stay for the next start.
TEST_F(DownloaderTest, TransferUnderTheRateFloorBreaksAndIsRetried) {
  addLarge("model.bin", patterned(1000));
  faults("model.bin", withFault([](auto& f) { f.trickle = 20; }));
  writeFile(partial, "");
  Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry,
               Downloader::RateFloor{1024, std::chrono::seconds(1)});
  auto started = std::chrono::steady_clock::now();
  auto states = runWithin(d, "model.bin", 1000, std::chrono::seconds(30), /*retries=*/1);
  auto e = errorOf<platform::net::TransferError>(states);
  EXPECT_EQ(e.kind, platform::net::TransferError::Kind::timedOut) << e.what();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(contentRanges().size(), 2u);
}

// Bursts now and then, under the floor on average: 5,500 bytes every 6 s is about 900 bytes per
// second against a floor of 1,000 over 7 s. Each burst used to count as fast enough and start the
// count of slow seconds again, so the transfer went on at any average rate.
TEST_F(DownloaderTest, BurstsUnderTheRateFloorOnAverageBreakTheTransfer) {
  const std::size_t burst = 5500;
  const std::string content = patterned(5 * burst);
  addLarge("model.bin", content);
  HubTestServer::FileFaults f;
  f.burst = burst;
  f.burstEvery = std::chrono::milliseconds(6000);
  faults("model.bin", f);
  writeFile(partial, "");
  Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry,
               Downloader::RateFloor{1000, std::chrono::seconds(7)});
  auto states = runWithin(d, "model.bin", content.size(), std::chrono::seconds(60), /*retries=*/0);
  auto e = errorOf<platform::net::TransferError>(states);
  EXPECT_EQ(e.kind, platform::net::TransferError::Kind::timedOut) << e.what();
  EXPECT_NE(std::string(e.what()).find("fewer than 1000 bytes per second arrived over 7 s"), std::string::npos) << e.what();
  EXPECT_FALSE(fs::exists(destination));
  // The bursts that came stay for the next start.
  const auto kept = fs::file_size(partial);
  EXPECT_TRUE(kept > 0 && kept < content.size() && kept % burst == 0) << kept;
  EXPECT_TRUE(readAll(partial) == content.substr(0, kept));
}

TEST_F(DownloaderTest, FinishedFileReplacesTheDestinationWithOneRename) {
  const std::string content = patterned(5000);
  addLarge("model.bin", content);
  // The destination's folder is missing: it is created.
  writeFile(partial, "");
  {
    Downloader d(destination, partial, false);
    ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(run(d, "model.bin", content.size()).back()));
    EXPECT_TRUE(readAll(destination) == content);
  }
  // A destination that cannot be replaced (a folder with content) stays, and so do the new bytes.
  fs::remove(destination);
  writeFile(destination / "keep", "kept");
  writeFile(partial, "");
  Downloader d(destination, partial, false);
  auto states = run(d, "model.bin", content.size());
  EXPECT_THROW(std::rethrow_exception(failure(states)), fs::filesystem_error);
  EXPECT_EQ(readAll(destination / "keep"), "kept");
  EXPECT_TRUE(readAll(partial) == content);
}

TEST_F(DownloaderTest, StatesArriveInOrderAndEndWithOneTerminalStateOnEveryPath) {
  const std::size_t chunk = 64 * 1024;
  struct Case {
    const char* name;
    std::size_t size;
    int status;
    std::size_t reports;  // Downloading states after the first
    bool completes;
  } cases[] = {
      {"one byte below a piece", chunk - 1, 0, 0, true},
      {"exactly one piece", chunk, 0, 1, true},
      {"one byte above a piece", chunk + 1, 0, 1, true},
      {"three and a half pieces", chunk * 7 / 2, 0, 3, true},
      {"status 404", chunk, 404, 0, false},
      {"status 503", chunk, 503, 0, false},
  };
  int n = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = "f" + std::to_string(n++);
    std::string content = patterned(c.size);
    addLarge(name, content);
    if (c.status) {
      HubTestServer::FileFaults f;
      f.status = c.status;
      faults(name, f);
    }
    writeFile(partial, "");
    fs::remove(destination);
    Downloader d(destination, partial, false, chunk, quickRetry);
    auto states = run(d, name, content.size());
    ASSERT_GE(states.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<Downloader::NotStarted>(states[0]));
    ASSERT_TRUE(std::holds_alternative<Downloader::Downloading>(states[1]));
    EXPECT_EQ(std::get<Downloader::Downloading>(states[1]).progress, 0.0);
    std::vector<double> progress;
    for (std::size_t i = 2; i + 1 < states.size(); ++i) {
      ASSERT_TRUE(std::holds_alternative<Downloader::Downloading>(states[i]));
      progress.push_back(std::get<Downloader::Downloading>(states[i]).progress);
    }
    ASSERT_EQ(progress.size(), c.reports);
    for (std::size_t i = 0; i < progress.size(); ++i)
      EXPECT_DOUBLE_EQ(progress[i], double((i + 1) * chunk) / double(c.size));
    if (c.completes) {
      ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
      EXPECT_EQ(std::get<Downloader::Completed>(states.back()).file, destination);
      EXPECT_TRUE(readAll(destination) == content);
    } else {
      EXPECT_EQ(errorOf<Downloader::DownloadError>(states).kind, Downloader::DownloadError::Kind::unexpectedError);
    }
    EXPECT_EQ(d.subscribe().next()->index(), states.back().index());  // a late subscriber sees the end
  }
}

// A slow line (32 KiB every 100 ms) moves the bar between pieces: bytes are reported as they
// arrive, at least once a second from the first request on, and at most a few times a second.
TEST_F(DownloaderTest, ProgressOnASlowLineMovesEverySecondFromTheStart) {
  const std::string content = patterned(960 * 1024);
  addLarge("model.bin", content);
  HubTestServer::FileFaults slow;
  slow.burst = 32 * 1024;
  slow.burstEvery = std::chrono::milliseconds(100);
  faults("model.bin", slow);
  writeFile(partial, "");
  Downloader d(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto states = d.startDownload(url("model.bin"), std::nullopt, {}, content.size());
  std::vector<std::pair<double, double>> reports;  // seconds since the start, bytes
  Clock::time_point ended;
  while (auto s = states.next()) {
    if (auto* p = std::get_if<Downloader::Downloading>(&*s))
      reports.emplace_back(std::chrono::duration<double>(Clock::now() - started).count(), p->progress * content.size());
    if (std::holds_alternative<Downloader::Completed>(*s) || std::holds_alternative<Downloader::Failed>(*s)) {
      ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(*s));
      ended = Clock::now();
      break;
    }
  }
  const double duration = std::chrono::duration<double>(ended - started).count();
  ASSERT_GE(duration, 2.5) << "the line was not slow";
  ASSERT_FALSE(reports.empty());
  EXPECT_LT(reports.front().first, 1.0);
  // In every whole second of the transfer the reported bytes grew.
  for (int second = 0; second + 1 < duration; ++second) {
    double before = 0, after = 0;
    for (const auto& [at, bytes] : reports) {
      if (at < second) before = bytes;
      if (at < second + 1) after = bytes;
    }
    EXPECT_GT(after, before) << "nothing reported between " << second << " and " << second + 1 << " s";
  }
  for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].second, reports[i - 1].second);
  EXPECT_LE(reports.size(), std::size_t(4 * duration + 3)) << "reports are throttled";
  EXPECT_TRUE(readAll(destination) == content);
}

// A line that stalls mid-file (as before a process is killed): every byte that arrived is in the
// partial file while the transfer still waits, not only whole pieces, and the next start asks for
// the rest only.
TEST_F(DownloaderTest, BytesOfAStalledTransferAreInThePartialFileAndTheNextStartResumesAfterThem) {
  const std::string content = patterned(3 * MiB);
  const std::size_t arrived = MiB + 12345;
  addLarge("model.bin", content);
  HubTestServer::FileFaults stalls;
  stalls.holdAfter = arrived;
  stalls.holdCount = 1;
  faults("model.bin", stalls);
  writeFile(partial, "");
  {
    Downloader first(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
    auto states = first.startDownload(url("model.bin"), std::nullopt, {}, content.size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fs::file_size(partial) < arrived && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(fs::file_size(partial), arrived);
    EXPECT_TRUE(std::holds_alternative<Downloader::Downloading>(*first.subscribe().next())) << "still waiting";
    EXPECT_TRUE(readAll(partial) == content.substr(0, arrived));
  }
  server.clearRequests();
  Downloader second(destination, partial, false, Downloader::kDefaultChunkSize, quickRetry);
  auto states = run(second, "model.bin", content.size(), 5, HubTestServer::sha256Hex(content));
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
  EXPECT_EQ(contentRanges(), std::vector<std::string>{"bytes=" + std::to_string(arrived) + "-"});
  EXPECT_TRUE(readAll(destination) == content);
}

TEST_F(DownloaderTest, MissingPartialFileFailsWithAFileError) {
  addLarge("model.bin", "abc");
  Downloader d(destination, partial, false);
  EXPECT_THROW(std::rethrow_exception(failure(run(d, "model.bin", 3))), fs::filesystem_error);
}

TEST_F(DownloaderTest, CancelStopsAStalledTransferAndKeepsThePartialFile) {
  addLarge("model.bin", patterned(1000));
  faults("model.bin", withFault([](auto& f) { f.stall = std::chrono::milliseconds(5000); }));
  writeFile(partial, "abc");
  Downloader d(destination, partial, false);
  auto states = d.startDownload(url("model.bin"), std::nullopt, {}, 1003);
  auto started = std::chrono::steady_clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    d.cancel();
  });
  auto seen = collect(states);
  canceller.join();
  auto e = errorOf<platform::net::TransferError>(seen);
  EXPECT_EQ(e.kind, platform::net::TransferError::Kind::cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(readAll(partial), "abc");
}

TEST_F(DownloaderTest, TokenGoesToTheHubOnlyAndRangeIsOpenEnded) {
  const std::string content = patterned(12000);
  addLarge("model.bin", content);
  writeFile(partial, content.substr(0, 3000));
  Downloader d(destination, partial, false);
  auto states = d.startDownload(url("model.bin"), std::string("secret"), {{"X-Extra", "1"}}, 12000);
  auto seen = collect(states);
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(seen.back()));
  EXPECT_DOUBLE_EQ(std::get<Downloader::Downloading>(seen.at(1)).progress, 0.25);
  for (const auto& r : server.requests()) {
    EXPECT_EQ(r.header("Range"), "bytes=3000-");
    EXPECT_EQ(r.header("X-Extra"), "1");
    EXPECT_EQ(r.header("Authorization").has_value(), r.server == "hub") << r.server;
  }
  EXPECT_TRUE(readAll(destination) == content);
}

}  // namespace
}  // namespace hub
