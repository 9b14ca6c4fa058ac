#include "Parlet/core/Pipeline.h"

#include <algorithm>
#include <array>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/ErrorDescription.h"
#include "Parlet/core/detail/Text.h"
#include "Parlet/core/ModelProblem.h"
#include "platform/System/NumberText.h"
#include "platform/System/SystemLog.h"

namespace parlet {
namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

// The speech model could not be had for a transcription; `reason` is the load error's description.
struct ModelUnavailable {
  std::string reason;
};

std::optional<std::string> modelUnavailable(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const ModelUnavailable& unavailable) {
    return unavailable.reason;
  } catch (...) {
    return std::nullopt;
  }
}

void deleteFile(const std::filesystem::path& url) {
  std::error_code ignored;
  std::filesystem::remove(url, ignored);
}

}  // namespace

bool Pipeline::isHallucination(std::string_view text, double duration) {
  std::string lower = detail::lowercased(text);
  std::string t = detail::trimmingWhitespaceNewlinesAndPunctuation(lower);
  if (t.empty()) return true;
  // The markers are looked for before trimming, which would strip the brackets of a marker that
  // stands at an end ("[BLANK_AUDIO]" alone).
  if (lower.find("[blank_audio]") != std::string::npos) return true;
  if (lower.find("[silence]") != std::string::npos) return true;
  if (t == "silence") return true;
  if (duration >= 1.5) return false;
  static constexpr std::array<std::string_view, 13> phrases = {
      "you", "thank you", "thanks", "thanks for watching", "bye", "bye bye", "bye-bye",
      "okay", "ok", "uh", "um", "mm", "hmm"};
  return std::find(phrases.begin(), phrases.end(), t) != phrases.end();
}

std::optional<float> Pipeline::silenceProbability(const Transcript& transcript) {
  if (!transcript.noSpeechThreshold || transcript.noSpeechProbs.empty()) return std::nullopt;
  const float lowest = *std::min_element(transcript.noSpeechProbs.begin(), transcript.noSpeechProbs.end());
  if (!(lowest > *transcript.noSpeechThreshold)) return std::nullopt;
  return lowest;
}

// The way from background jobs back to the main queue. The pipeline closes it when it goes; a post
// holds the lock, so none is under way once `close` returns and a job that ends later posts nothing.
class MainQueueGate {
 public:
  explicit MainQueueGate(kestrum::MainQueue* queue) : queue_(queue) {}
  void post(kestrum::MainQueue::Work work) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (queue_) queue_->post(std::move(work));
  }
  void close() {
    std::lock_guard<std::mutex> hold(mutex_);
    queue_ = nullptr;
  }

 private:
  std::mutex mutex_;
  kestrum::MainQueue* queue_;
};

struct Pipeline::Impl : std::enable_shared_from_this<Pipeline::Impl> {
  Callbacks callbacks;
  Dependencies deps;
  std::shared_ptr<MainQueueGate> gate;
  kestrum::MainQueue::TimerId meterTimer = 0;  // 0: none
  std::set<std::filesystem::path> roads;       // the files of the roads under way
  bool recording = false;
  bool modelReady = false;
  bool prewarming = false;

  void report(State state) {
    if (callbacks.onStateChange) callbacks.onStateChange(state);
  }
  void notice(const std::string& text) {
    if (callbacks.onNotice) callbacks.onNotice(text);
  }
  void level(float value) {
    if (callbacks.onLevel) callbacks.onLevel(value);
  }
  void log(const std::string& line) { deps.log(line); }
  void modelLoad(const std::optional<std::string>& failure) {
    if (callbacks.onModelLoad) callbacks.onModelLoad(failure);
  }

  // Runs `job` on the background executor, then `then(self, result, error)` on the main queue
  // if the pipeline still exists.
  template <class T, class Job, class Then>
  void offMain(Job job, Then then) {
    std::weak_ptr<Impl> weak = weak_from_this();
    deps.background([weak, gate = gate, job = std::move(job), then = std::move(then)] {
      auto result = std::make_shared<std::optional<T>>();
      std::exception_ptr error;
      try {
        result->emplace(job());
      } catch (...) {
        error = std::current_exception();
      }
      gate->post([weak, result, error, then] {
        if (auto self = weak.lock()) then(*self, std::move(*result), error);
      });
    });
  }

  void prewarm() {
    if (modelReady || prewarming) return;
    prewarming = true;
    if (!recording) report(State::preparing);
    offMain<bool>([transcriber = deps.transcriber] { return transcriber->ensure() != nullptr; },
                  [](Impl& self, std::optional<bool>, std::exception_ptr error) {
                    self.prewarming = false;
                    if (!error) self.modelReady = true;
                    if (!self.recording) self.report(State::idle);
                    if (error) {
                      const std::string reason = kestrum::describeError(error);
                      self.notice("Couldn't load model");
                      self.log("prewarm failed: " + reason);
                      self.deps.systemLog("Parlet: prewarm failed: " + reason);
                      self.modelLoad(reason);
                    } else {
                      self.modelLoad(std::nullopt);
                    }
                  });
  }

  void start() {
    if (recording) return;
    log(std::string("pipeline.start modelReady=") + boolText(modelReady) + " prewarming=" + boolText(prewarming));
    try {
      deps.recorder->start();
    } catch (...) {
      log("pipeline.start FAILED: " + kestrum::describeError(std::current_exception()));
      notice("Mic unavailable");
      return;
    }
    recording = true;
    report(State::recording);
    startMetering();
  }

  void startMetering() {
    if (meterTimer != 0) deps.mainQueue->cancel(meterTimer);
    std::weak_ptr<Impl> weak = weak_from_this();
    meterTimer = deps.mainQueue->scheduleRepeating(std::chrono::nanoseconds(std::chrono::seconds(1)) / 30, [weak] {
      auto self = weak.lock();
      if (!self) return;
      if (self->deps.recorder->captureProblem()) return self->lostMicrophone();
      float value = 0;
      PlatformRecorder* recorder = self->deps.recorder->recorder();
      if (recorder && recorder->isRecording()) {
        recorder->updateMeters();
        float power = recorder->averagePower(0);
        value = std::min((power + 60.0f) / 60.0f, 1.0f);
        if (!(value >= 0)) value = 0;  // below -60 dB or not a number
      }
      self->deps.mainQueue->post([weak, value] {
        if (auto owner = weak.lock()) owner->level(value);
      });
    });
  }

  // Ends the recording: the meter stops, the recorder stops (without waiting for the device).
  AudioRecorder::Result endRecording() {
    recording = false;
    if (meterTimer != 0) deps.mainQueue->cancel(meterTimer);
    meterTimer = 0;
    level(0);
    return deps.recorder->stop();
  }

  // The input failed or went silent for good while the key is held: the recording ends at once
  // (the recorder logs why and drops the file).
  void lostMicrophone() {
    AudioRecorder::Result result = endRecording();
    if (result.url) deleteFile(*result.url);
    report(State::idle);
    notice("Mic unavailable");
  }

  void stop() {
    if (!recording) return;
    AudioRecorder::Result result = endRecording();
    if (!result.url) {
      log("pipeline.stop NO URL");
      report(State::idle);
      return;
    }
    std::filesystem::path url = *result.url;
    double duration = result.duration;
    log("pipeline.stop duration=" + platform::system::fixedText(duration, 2) + "s url=" + url.filename().string());
    if (result.frames) {
      const double audioSeconds = static_cast<double>(*result.frames) / RecordingSettings{}.sampleRate;
      log("pipeline.stop audio=" + platform::system::fixedText(audioSeconds, 2) + "s frames=" +
          std::to_string(*result.frames));
    }
    if (duration < minimumClipSeconds) {
      deleteFile(url);
      report(State::idle);
      notice("Hold the key longer");
      return;
    }
    if (result.frames == 0u) {
      // The input delivered nothing: there is nothing to transcribe.
      log("dropped as empty audio (the recording holds no samples)");
      deleteFile(url);
      report(State::idle);
      notice("Mic unavailable");
      return;
    }
    report(modelReady ? State::processing : State::preparing);
    roads.insert(url);
    std::weak_ptr<Impl> weak = weak_from_this();
    deps.mainQueue->post([weak, url, duration] {
      if (auto self = weak.lock()) self->transcribe(url, duration);
    });
  }

  void cancel() {
    if (!recording) return;
    AudioRecorder::Result result = endRecording();
    if (result.url) deleteFile(*result.url);
    log("pipeline.cancel: the trigger key was part of a chord, the recording is dropped");
    report(State::idle);
  }

  // The road: each step below runs on the main queue; every path ends in cleanUp.
  void transcribe(const std::filesystem::path& url, double duration) {
    log("transcribe begin");
    offMain<Transcript>([transcriber = deps.transcriber, url] {
                          try {
                            transcriber->ensure();
                          } catch (...) {
                            throw ModelUnavailable{kestrum::describeError(std::current_exception())};
                          }
                          return transcriber->transcript(url);
                        },
                         [url, duration](Impl& self, std::optional<Transcript> raw, std::exception_ptr error) {
                           if (error) {
                             if (auto reason = modelUnavailable(error)) {
                               // Without a model the notice says why, as the menu does.
                               self.log("pipeline FAILED: " + *reason);
                               self.notice(modelProblemTitle(plainModelProblem(*reason)));
                               self.modelLoad(*reason);
                               self.cleanUp(url);
                               return;
                             }
                             self.log("pipeline FAILED: " + kestrum::describeError(error));
                             self.notice("Transcription failed");
                             self.cleanUp(url);
                           } else {
                             self.transcribed(url, duration, std::move(*raw));
                           }
                         });
  }

  void transcribed(const std::filesystem::path& url, double duration, Transcript transcript) {
    std::string raw = std::move(transcript.text);
    log("transcribe done: \"" + raw + "\"");
    if (!modelReady) {
      modelReady = true;
      report(State::processing);
      modelLoad(std::nullopt);
    }
    // The model heard no speech: whatever text it invented stays unpasted, without a notice.
    if (const auto probability = silenceProbability(transcript)) {
      log("dropped as silence (no-speech probability " + platform::system::fixedText(*probability, 4) + ")");
      cleanUp(url);
      return;
    }
    if (isHallucination(raw, duration)) {
      log("dropped as hallucination (raw)");
      cleanUp(url);
      return;
    }
    offMain<std::string>([polisher = deps.polisher, raw] { return polisher->polish(raw); },
                         [url, duration, raw](Impl& self, std::optional<std::string> polished, std::exception_ptr) {
                           // The polisher never throws; should it, the raw text stands.
                           self.polished(url, duration, polished ? std::move(*polished) : raw);
                         });
  }

  void polished(const std::filesystem::path& url, double duration, const std::string& text) {
    log("polished: \"" + text + "\"");
    if (isHallucination(text, duration)) {
      log("dropped as hallucination (polished)");
      cleanUp(url);
      return;
    }
    log("pasting " + std::to_string(detail::characterCount(text)) + " chars");
    try {
      deps.archive->add(text);
      std::weak_ptr<Impl> weak = weak_from_this();
      deps.paster->paste(text, [weak](Paster::Outcome outcome) {
        if (outcome != Paster::Outcome::keptOnClipboard) return;
        if (auto self = weak.lock()) self->notice(Paster::keptNotice);
      });
    } catch (...) {
      log("pipeline FAILED: " + kestrum::describeError(std::current_exception()));
    }
    cleanUp(url);
  }

  void cleanUp(const std::filesystem::path& url) {
    deleteFile(url);
    roads.erase(url);
    report(State::idle);
  }
};

Pipeline::Pipeline(Callbacks callbacks, Dependencies dependencies) : impl_(std::make_shared<Impl>()) {
  if (!dependencies.mainQueue || !dependencies.transcriber || !dependencies.paster)
    throw std::invalid_argument("Pipeline needs a main queue, a transcriber and a paster");
  kestrum::MainQueue* queue = dependencies.mainQueue;
  if (!dependencies.recorder) {
    AudioRecorder::Dependencies recorder;
    recorder.now = [queue] { return queue->now(); };
    dependencies.recorder = std::make_shared<AudioRecorder>(std::move(recorder));
  }
  if (!dependencies.polisher) dependencies.polisher = std::make_shared<const Polisher>();
  if (!dependencies.archive) dependencies.archive = &TranscriptArchive::shared();
  if (!dependencies.background) {
    dependencies.background = [](std::function<void()> job) { kestrum::ThreadPool::shared().detach(std::move(job)); };
  }
  if (!dependencies.log) dependencies.log = ParletLog::sink();
  if (!dependencies.systemLog) {
    dependencies.systemLog = [](const std::string& line) {
      static const platform::system::SystemLog systemLog("parlet", "Parlet");
      systemLog.write(platform::system::LogType::error, line);
    };
  }
  impl_->callbacks = std::move(callbacks);
  impl_->gate = std::make_shared<MainQueueGate>(dependencies.mainQueue);
  impl_->deps = std::move(dependencies);
  impl_->deps.recorder->removeStaleRecordings();
}

Pipeline::~Pipeline() {
  impl_->gate->close();
  if (impl_->meterTimer != 0) impl_->deps.mainQueue->cancel(impl_->meterTimer);
  // The application quits: no recording outlives it, running or waiting for its road's end.
  if (impl_->recording) {
    if (auto url = impl_->deps.recorder->stop().url) deleteFile(*url);
  }
  for (const auto& url : impl_->roads) deleteFile(url);
}

void Pipeline::prewarm() { impl_->prewarm(); }
void Pipeline::start() { impl_->start(); }
void Pipeline::stop() { impl_->stop(); }
void Pipeline::cancel() { impl_->cancel(); }

}  // namespace parlet
