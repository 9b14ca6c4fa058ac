// Downloads a 200 MiB large file from the local test server (through its 302 to the content
// origin) with the resumable downloader and its SHA-256 check, into a partial file that is then
// renamed into place. Targets: at least 400 MB/s; peak resident memory of the downloading
// process at most 64 MiB (the file streams to disk in 10 MiB pieces). The server runs in a child
// process so that its copy of the file does not count.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>

#include <benchmark/benchmark.h>

#include "bench/ProcessStatus.h"
#include "Hub/Downloader.h"
#include "testsupport/HubTestServer.h"

namespace {

constexpr std::size_t kFileSize = std::size_t(200) << 20;
std::string endpoint;
std::string digest;

void Download200MiBWithSha256(benchmark::State& state) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("parlet-bench-download-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  for (auto _ : state) {
    fs::path partial = folder / "model.bin.incomplete";
    std::ofstream(partial).close();
    hub::Downloader downloader(folder / "model.bin", partial);
    auto states = downloader.startDownload(endpoint + "/o/r/resolve/main/model.bin", std::nullopt, {},
                                           static_cast<std::int64_t>(kFileSize), std::chrono::seconds(10), 5, digest);
    bool completed = false;
    while (auto s = states.next()) {
      if (std::holds_alternative<hub::Downloader::Completed>(*s)) {
        completed = true;
        break;
      }
      if (std::holds_alternative<hub::Downloader::Failed>(*s)) break;
    }
    if (!completed) state.SkipWithError("the download failed");
    fs::remove(folder / "model.bin");
  }
  fs::remove_all(folder);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
  state.counters["peak_rss_MiB"] = double(statusKilobytes("VmHWM:")) / 1024.0;
}
BENCHMARK(Download200MiBWithSha256)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  int toParent[2], toChild[2];
  if (::pipe(toParent) != 0 || ::pipe(toChild) != 0) return 1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(toParent[0]);
    ::close(toChild[1]);
    std::string content(kFileSize, '\0');
    std::uint64_t x = 88172645463325252ull;
    for (std::size_t i = 0; i < content.size(); i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(content.data() + i, &x, 8);
    }
    testsupport::HubTestServer server;
    server.addRepository("models", "o/r");
    std::string line = server.endpoint() + " " + testsupport::HubTestServer::sha256Hex(content) + "\n";
    server.addFile("models", "o/r", "model.bin", std::move(content), true);
    if (::write(toParent[1], line.data(), line.size()) < 0) return 1;
    char byte;
    while (::read(toChild[0], &byte, 1) > 0) {
    }  // until the parent goes
    return 0;
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  char buffer[512] = {};
  std::size_t got = 0;
  while (got < sizeof buffer - 1) {
    ssize_t n = ::read(toParent[0], buffer + got, sizeof buffer - 1 - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    if (buffer[got - 1] == '\n') break;
  }
  std::string text(buffer, got);
  auto space = text.find(' ');
  if (space == std::string::npos) return 1;
  endpoint = text.substr(0, space);
  digest = text.substr(space + 1, 64);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ::close(toChild[1]);
  ::waitpid(child, nullptr, 0);
  return 0;
}
