// bench_capture [--smoke]: how soon a dictation hears the microphone. The application's recorder
// (the default microphone through the real capture backend) against a sound server of the
// benchmark's own, whose microphone hears a tone live, in real time: 20 key presses, each timed from
// the recorder's start (the key going down) to the first captured frame reaching the recorder, then
// held for a moment and released, the microphone closed between presses. Once on the idle machine
// and once with 8 busy threads of another process beside it; median and maximum of each, with the
// processor, instruction set and load. The recorder is made as the application makes it at start-up,
// a second before the first press. --smoke presses 3 times each.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "Parlet/core/AudioRecorder.h"
#include "bench/BusyProcess.h"
#include "bench/MachineFacts.h"
#include "platform/Audio/tests/PulseAudioServer.h"
#include "testsupport/Fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The server's microphone hears a 440 Hz tone, live, until the object goes.
class LiveMicrophone {
 public:
  explicit LiveMicrophone(audiotest::PulseAudioServer& server)
      : thread_([this, &server] {
          std::vector<float> second(16000);
          for (std::size_t i = 0; i < second.size(); ++i)
            second[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * double(i) / 16000));
          while (!done_) server.speakLive(second, &done_);
        }) {}
  ~LiveMicrophone() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct Figures {
  double medianMs = 0, maxMs = 0;
  int failed = 0;
};

// Presses the key `presses` times; milliseconds from each start to the first captured frame.
Figures press(parlet::AudioRecorder& recorder, int presses) {
  std::vector<double> delays;
  Figures figures;
  for (int i = 0; i < presses; ++i) {
    const auto down = Clock::now();
    try {
      recorder.start();
    } catch (const std::exception& error) {
      std::printf("press %d: the recorder did not start: %s\n", i + 1, error.what());
      ++figures.failed;
      continue;
    }
    bool heard = false;
    while (!heard && Clock::now() - down < std::chrono::seconds(5)) {
      const std::optional<std::uint64_t> frames = recorder.recorder()->capturedFrames();
      heard = frames && *frames > 0;
      if (!heard) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto first = Clock::now();
    std::this_thread::sleep_for(milliseconds(150));  // the rest of a short dictation
    const parlet::AudioRecorder::Result result = recorder.stop();
    if (result.url) std::filesystem::remove(*result.url);
    if (heard) delays.push_back(std::chrono::duration<double, std::milli>(first - down).count());
    else ++figures.failed;
    std::this_thread::sleep_for(milliseconds(200));  // the microphone stays closed between dictations
  }
  if (!delays.empty()) {
    std::sort(delays.begin(), delays.end());
    const std::size_t n = delays.size();
    figures.medianMs = n % 2 ? delays[n / 2] : (delays[n / 2 - 1] + delays[n / 2]) / 2;
    figures.maxMs = delays.back();
  }
  return figures;
}

void report(const char* what, const Figures& figures, int presses) {
  std::printf("%-8s key-down to first captured frame: median %7.1f ms, maximum %7.1f ms over %d presses",
              what, figures.medianMs, figures.maxMs, presses - figures.failed);
  if (figures.failed > 0) std::printf(" (%d heard nothing within 5 s)", figures.failed);
  std::printf("  [load %s]\n", loadAveragesText().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--spin") return spin(std::atoi(argv[2]));
  bool smoke = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--smoke") smoke = true;
    else return std::fprintf(stderr, "usage: bench_capture [--smoke]\n"), 2;
  }
  const int presses = smoke ? 3 : 20;
  std::printf("processor:       %s (%u cores)\n", processorName().c_str(), std::thread::hardware_concurrency());
  std::printf("instruction set: %s\n", instructionSet().c_str());
  std::printf("load before:     %s\n", loadAveragesText().c_str());

  audiotest::PulseAudioServer server(audiotest::PulseAudioServer::Microphone::live);
  if (server.whyNot()) {
    std::printf("skipped: %s\n", server.whyNot()->c_str());
    return 0;
  }
  const LiveMicrophone microphone(server);
  const testsupport::TempDir folder;
  parlet::AudioRecorder recorder({{}, [&folder] { return folder.path(); }, {}}, [](const std::string&) {});
  std::this_thread::sleep_for(std::chrono::seconds(1));  // start-up, then the user reaches for the key

  report("idle:", press(recorder, presses), presses);
  {
    const BusyProcess load(8);
    report("8 busy:", press(recorder, presses), presses);
  }
  std::printf("load after:      %s\n", loadAveragesText().c_str());
  return 0;
}
