#include "Parlet/core/AudioRecorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "Parlet/core/ParletLog.h"
#include "platform/System/Folders.h"
#include "platform/System/NumberText.h"
#include "platform/System/Uuid.h"

namespace parlet {

AudioRecorder::AudioRecorder(Dependencies dependencies, std::function<void(const std::string&)> log)
    : dependencies_(std::move(dependencies)), log_(log ? std::move(log) : ParletLog::sink()) {
  if (!dependencies_.makeRecorder) {
    dependencies_.makeRecorder = captureRecorderFactory();
    // The microphone's first press then finds the audio system ready.
    platform::audio::prepareCapture();
  }
  if (!dependencies_.directory) dependencies_.directory = [] { return platform::system::privateTemporaryDirectory(); };
  if (!dependencies_.now) {
    dependencies_.now = [] {
      return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
    };
  }
}

void AudioRecorder::start() {
  const auto pressed = std::chrono::steady_clock::now();
  std::filesystem::path file =
      dependencies_.directory() / ("parlet-" + platform::system::UUID().uuidString() + ".wav");
  url_ = file;
  std::unique_ptr<PlatformRecorder> recorder = dependencies_.makeRecorder(file, RecordingSettings{});
  if (!recorder) throw RecorderError("the audio recorder could not be created");
  recorder->setMeteringEnabled(true);
  if (!recorder->record()) {
    // A recorder that will not start is no recording: report it, leave no empty file behind.
    recorder->stop();
    recorder.reset();
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    throw RecorderError("the audio recorder refused to start");
  }
  recorder_ = std::move(recorder);  // an earlier one is released without stopping
  startedAt_ = dependencies_.now();
  startedSteady_ = pressed;
  lastCaptured_ = 0;
  lastChange_ = startedAt_;
  problem_.reset();
}

std::optional<std::string> AudioRecorder::captureProblem() {
  if (!recorder_) return std::nullopt;
  if (problem_) return problem_;
  if (auto failure = recorder_->failure()) return problem_ = failure;
  const std::optional<std::uint64_t> captured = recorder_->capturedFrames();
  if (!captured) return std::nullopt;
  const Duration now = dependencies_.now();
  if (*captured != lastCaptured_) {
    lastCaptured_ = *captured;
    lastChange_ = now;
  } else if (std::chrono::duration<double>(now - *lastChange_).count() >= stallSeconds) {
    problem_ = "no audio from the input for " + platform::system::fixedText(stallSeconds, 1) + " s";
  }
  return problem_;
}

bool AudioRecorder::isRecordingName(const std::string& name) {
  static constexpr std::string_view prefix = "parlet-", suffix = ".wav";
  if (name.size() != prefix.size() + 36 + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
    return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const char c = name[prefix.size() + i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

int AudioRecorder::removeStaleRecordings() const {
  std::error_code error;
  const std::filesystem::path folder = dependencies_.directory();
  int removed = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::filesystem::path& path = it->path();
    struct stat info{};
    if (!isRecordingName(path.filename().string()) || ::lstat(path.c_str(), &info) != 0) continue;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) continue;
    std::error_code ignored;
    if (std::filesystem::remove(path, ignored)) ++removed;  // unlinks the name, never a link's target
  }
  if (removed > 0) log_("recorder removed " + std::to_string(removed) + " stale recording(s)");
  return removed;
}

AudioRecorder::Result AudioRecorder::stop() {
  Result result;
  if (startedAt_) result.duration = std::chrono::duration<double>(dependencies_.now() - *startedAt_).count();
  std::optional<std::string> failure = std::exchange(problem_, std::nullopt);
  if (recorder_) {
    recorder_->stop();
    if (!failure) failure = recorder_->failure();
    result.frames = recorder_->recordedFrames();
    const auto first = recorder_->firstCaptureTime();
    if (first && !failure) {
      const double milliseconds = std::chrono::duration<double, std::milli>(*first - startedSteady_).count();
      log_("recorder first audio " + platform::system::fixedText(milliseconds, 0) + " ms after the start");
    }
  }
  recorder_.reset();
  startedAt_.reset();
  if (failure) {
    log_("recorder FAILED: " + *failure);
    result.frames.reset();
    if (url_) {
      std::error_code ignored;
      std::filesystem::remove(*url_, ignored);
    }
    url_.reset();
  }
  result.url = url_;
  return result;
}

}  // namespace parlet
