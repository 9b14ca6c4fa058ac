#include "Murmel/transcription/AudioStreamTranscriber.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <thread>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/Logging.h"
#include "KestrumCore/Progress.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/decoding/TextUtilities.h"
#include "platform/Text/Unicode.h"

namespace murmel {

using kestrum::Logging;

namespace {

constexpr float kSampleRate = 16000;
constexpr auto kIdleInterval = std::chrono::milliseconds(100);
const char* const kWaitingText = "Waiting for speech...";

// Releases a held lock for its lifetime and takes it back, also when unwinding.
class Unlocked {
 public:
  explicit Unlocked(std::unique_lock<std::mutex>& lock) : lock_(lock) { lock_.unlock(); }
  ~Unlocked() { lock_.lock(); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  std::unique_lock<std::mutex>& lock_;
};

std::int64_t fallbackCount(double value) {
  if (!(value >= 0)) return 0;
  return value >= 9.0e18 ? INT64_MAX : static_cast<std::int64_t>(value);
}

}  // namespace

// Jobs run one after another, in the order they were posted, on one pool thread at a time. The
// queue outlives the transcriber while jobs are pending; each job holds the transcriber weakly.
struct AudioStreamTranscriber::Hops {
  std::mutex mutex;
  std::deque<std::function<void()>> jobs;
  bool draining = false;

  static void post(const std::shared_ptr<Hops>& hops, std::function<void()> job) {
    {
      std::lock_guard lock(hops->mutex);
      hops->jobs.push_back(std::move(job));
      if (hops->draining) return;
      hops->draining = true;
    }
    kestrum::ThreadPool::shared().enqueue([hops] { hops->drain(); });
  }

  void drain() {
    for (;;) {
      std::function<void()> job;
      {
        std::lock_guard lock(mutex);
        if (jobs.empty()) {
          draining = false;
          return;
        }
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      try {
        job();
      } catch (const std::exception& e) {
        Logging::error(std::string("Error: ") + e.what());
      } catch (...) {
        Logging::error("Error: unknown error");
      }
    }
  }
};

std::shared_ptr<AudioStreamTranscriber> AudioStreamTranscriber::make(
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
    DecodingOptions decodingOptions, std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
    std::int64_t compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback) {
  return std::make_shared<AudioStreamTranscriber>(
      Passkey{}, std::move(audioEncoder), std::move(featureExtractor), std::move(segmentSeeker), std::move(textDecoder),
      std::move(tokenizer), std::move(audioProcessor), std::move(decodingOptions), requiredSegmentsForConfirmation,
      silenceThreshold, compressionCheckWindow, useVAD, std::move(stateChangeCallback));
}

AudioStreamTranscriber::AudioStreamTranscriber(Passkey, std::shared_ptr<AudioEncoding> audioEncoder,
                                               std::shared_ptr<FeatureExtracting> featureExtractor,
                                               std::shared_ptr<SegmentSeeking> segmentSeeker,
                                               std::shared_ptr<TextDecoding> textDecoder,
                                               std::shared_ptr<const WhisperTokenizer> tokenizer,
                                               std::shared_ptr<AudioProcessing> audioProcessor,
                                               DecodingOptions decodingOptions,
                                               std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
                                               std::int64_t compressionCheckWindow, bool useVAD,
                                               StateChangeCallback stateChangeCallback)
    : stateChangeCallback_(std::move(stateChangeCallback)),
      requiredSegmentsForConfirmation_(std::max<std::int64_t>(requiredSegmentsForConfirmation, 0)),
      useVAD_(useVAD),
      silenceThreshold_(silenceThreshold),
      compressionCheckWindow_(compressionCheckWindow),
      transcribeTask_(TranscriptionTimings{}, std::make_shared<kestrum::Progress>(), audioProcessor, std::move(audioEncoder),
                      std::move(featureExtractor), std::move(segmentSeeker), std::move(textDecoder),
                      std::move(tokenizer)),
      audioProcessor_(std::move(audioProcessor)),
      decodingOptions_(std::move(decodingOptions)),
      hops_(std::make_shared<Hops>()) {}

AudioStreamTranscriber::~AudioStreamTranscriber() {
  // Nobody is left to stop a capture this transcriber started.
  if (state_.isRecording && audioProcessor_) audioProcessor_->stopRecording();
}

template <class Change>
void AudioStreamTranscriber::update(Change&& change) {
  if (!stateChangeCallback_) {
    change(state_);
    return;
  }
  State old = state_;
  change(state_);
  pendingChanges_.emplace_back(std::move(old), state_);
}

void AudioStreamTranscriber::deliverChanges(std::unique_lock<std::mutex>& lock) {
  // A callback's own calls leave their changes to the delivery around them, which keeps the order.
  if (delivering_ && deliverer_ == std::this_thread::get_id()) return;
  // Another thread hands out these changes after its own; they are out once it is done.
  delivered_.wait(lock, [&] { return !delivering_; });
  if (pendingChanges_.empty()) return;
  delivering_ = true;
  deliverer_ = std::this_thread::get_id();
  while (!pendingChanges_.empty()) {
    std::deque<std::pair<State, State>> batch;
    batch.swap(pendingChanges_);
    Unlocked unlocked(lock);
    for (const auto& [before, after] : batch) {
      try {
        stateChangeCallback_(before, after);
      } catch (const std::exception& e) {
        Logging::error(std::string("State change callback failed: ") + e.what());
      } catch (...) {
        Logging::error("State change callback failed");
      }
    }
  }
  delivering_ = false;
  delivered_.notify_all();
}

void AudioStreamTranscriber::startStreamTranscription() {
  const auto self = shared_from_this();  // the loop keeps the transcriber alive
  std::unique_lock lock(mutex_);
  if (state_.isRecording) return;
  // A loop still finishing its last pass after a stop ends first, and so does the stop's call to
  // the front end: one transcription and one capture at a time.
  wake_.wait(lock, [&] { return (!loopRunning_ && captureStops_ == 0) || state_.isRecording; });
  if (state_.isRecording) return;

  if (!AudioProcessor::requestRecordPermission()) {
    Logging::error("Microphone access was not granted.");
    return;
  }
  // Capture starts over with an empty sample store: sizes, confirmed ends and texts of an earlier
  // session would hold back the new audio and start its decoding past its beginning.
  if (state_ != State{}) update([](State& s) { s = State{}; });
  update([](State& s) { s.isRecording = true; });
  // The session is this call's from here: a start meanwhile waits, a stop meanwhile ends it.
  loopRunning_ = true;
  const auto endSession = [&] {
    loopRunning_ = false;
    wake_.notify_all();
    deliverChanges(lock);
  };
  deliverChanges(lock);
  if (state_.isRecording) {
    // The front end is called without the lock; a stop meanwhile waits for the capture to have
    // started and then stops it.
    captureStarting_ = true;
    std::exception_ptr failure;
    {
      Unlocked unlocked(lock);
      try {
        audioProcessor_->startRecordingLive(std::nullopt, [hops = hops_, weak = weak_from_this()](const std::vector<float>&) {
          Hops::post(hops, [weak] {
            if (auto transcriber = weak.lock()) transcriber->onAudioBufferCallback();
          });
        });
      } catch (...) {
        failure = std::current_exception();
      }
    }
    captureStarting_ = false;
    wake_.notify_all();
    if (failure) {
      // Left recording, every later start would return at once with nothing capturing.
      update([](State& s) { s.isRecording = false; });
      endSession();
      std::rethrow_exception(failure);
    }
  }

  while (state_.isRecording) {
    try {
      transcribeCurrentBuffer(lock);
    } catch (const std::exception& e) {
      Logging::error(std::string("Error: ") + e.what());
      break;
    } catch (...) {
      Logging::error("Error: unknown error");
      break;
    }
    deliverChanges(lock);
  }
  endSession();
  Logging::info("Realtime transcription has started");
}

void AudioStreamTranscriber::stopStreamTranscription() {
  std::unique_lock lock(mutex_);
  update([](State& s) { s.isRecording = false; });
  // The next start waits for this stop from here on, also while the stop waits below: let in before
  // the stop has reached the front end, its new capture would be the one stopped.
  ++captureStops_;
  wake_.notify_all();
  // A capture start under way ends first, so that its capture is stopped.
  wake_.wait(lock, [&] { return !captureStarting_; });
  const auto stopped = [&] {
    --captureStops_;
    wake_.notify_all();
  };
  try {
    Unlocked unlocked(lock);
    audioProcessor_->stopRecording();
  } catch (...) {
    stopped();
    throw;
  }
  stopped();
  deliverChanges(lock);
  Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::onAudioBufferCallback() {
  auto energy = audioProcessor_->relativeEnergy();
  std::unique_lock lock(mutex_);
  update([&](State& s) { s.bufferEnergy = std::move(energy); });
  deliverChanges(lock);
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
  std::unique_lock lock(mutex_);
  const std::int64_t fallbacks = fallbackCount(progress.timings.totalDecodingFallbacks);
  if (platform::text::graphemeCount(progress.text) < platform::text::graphemeCount(state_.currentText)) {
    if (fallbacks == state_.currentFallbacks)
      update([](State& s) { s.unconfirmedText.push_back(s.currentText); });
    else
      Logging::info("Fallback occured: " + std::to_string(fallbacks));
  }
  update([&](State& s) { s.currentText = progress.text; });
  update([&](State& s) { s.currentFallbacks = fallbacks; });
  deliverChanges(lock);
}

void AudioStreamTranscriber::idle(std::unique_lock<std::mutex>& lock) {
  if (state_.currentText.empty()) update([](State& s) { s.currentText = kWaitingText; });
  deliverChanges(lock);  // a callback may stop recording here: the wait below then ends at once
  wake_.wait_for(lock, kIdleInterval, [&] { return !state_.isRecording; });
}

void AudioStreamTranscriber::transcribeCurrentBuffer(std::unique_lock<std::mutex>& lock) {
  // The count decides; the samples are copied only for a transcription. The front end is asked
  // without the lock (only this loop changes lastBufferSize).
  const std::int64_t lastBufferSize = state_.lastBufferSize;
  std::optional<std::vector<float>> copied;
  float newSeconds = 0;
  bool voice = true;
  {
    Unlocked unlocked(lock);
    const auto count = static_cast<std::int64_t>(audioProcessor_->audioSampleCount());
    newSeconds = static_cast<float>(count - lastBufferSize) / kSampleRate;
    if (newSeconds > 1.0f && useVAD_)
      voice = AudioProcessor::isVoiceDetected(audioProcessor_->relativeEnergy(), newSeconds, silenceThreshold_);
    if (newSeconds > 1.0f && voice) copied = audioProcessor_->audioSamples();
  }
  if (newSeconds <= 1.0f) {
    idle(lock);
    return;
  }
  if (!voice) {
    Logging::debug("No voice detected, skipping transcribe");
    idle(lock);
    return;
  }

  const std::vector<float> samples = std::move(*copied);
  update([&](State& s) { s.lastBufferSize = static_cast<std::int64_t>(samples.size()); });
  const float startSeconds = state_.lastConfirmedSegmentEndSeconds;
  std::optional<TranscriptionResult> transcription;
  deliverChanges(lock);
  {
    Unlocked unlocked(lock);
    transcription.emplace(transcribeAudioSamples(samples, startSeconds));
  }

  update([](State& s) { s.currentText.clear(); });
  update([](State& s) { s.unconfirmedText.clear(); });

  auto segments = transcription->segments();
  const auto required = static_cast<std::uint64_t>(requiredSegmentsForConfirmation_);
  if (segments.size() > required) {
    const auto split = segments.begin() + static_cast<std::ptrdiff_t>(segments.size() - required);
    std::vector<TranscriptionSegment> confirmed(segments.begin(), split);
    std::vector<TranscriptionSegment> remaining(split, segments.end());
    const float confirmedEnd = confirmed.back().end;
    if (confirmedEnd > state_.lastConfirmedSegmentEndSeconds) {
      update([&](State& s) { s.lastConfirmedSegmentEndSeconds = confirmedEnd; });
      const auto& kept = state_.confirmedSegments;
      if (std::search(kept.begin(), kept.end(), confirmed.begin(), confirmed.end()) == kept.end())
        update([&](State& s) { s.confirmedSegments.insert(s.confirmedSegments.end(), confirmed.begin(), confirmed.end()); });
    }
    update([&](State& s) { s.unconfirmedSegments = std::move(remaining); });
  } else {
    update([&](State& s) { s.unconfirmedSegments = std::move(segments); });
  }
}

TranscriptionResult AudioStreamTranscriber::transcribeAudioSamples(const std::vector<float>& samples,
                                                                   float startSeconds) {
  DecodingOptions options = decodingOptions_;
  options.clipTimestamps = {startSeconds};
  const std::int64_t window = compressionCheckWindow_;
  return transcribeTask_.run(samples, options,
                             [this, &options, window](const TranscriptionProgress& progress) -> std::optional<bool> {
                               Hops::post(hops_, [weak = weak_from_this(), progress] {
                                 if (auto transcriber = weak.lock()) transcriber->onProgressCallback(progress);
                               });
                               return shouldStopEarly(progress, options, window);
                             });
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress,
                                                            const DecodingOptions& options,
                                                            std::int64_t compressionCheckWindow) {
  // Repetition over the latest tokens; without a threshold the check is off.
  const auto& tokens = progress.tokens;
  if (compressionCheckWindow > 0 && options.compressionRatioThreshold &&
      tokens.size() > static_cast<std::uint64_t>(compressionCheckWindow)) {
    const std::vector<std::int64_t> recent(tokens.end() - compressionCheckWindow, tokens.end());
    if (TextUtilities::compressionRatio(recent) > *options.compressionRatioThreshold) return false;
  }
  if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) return false;
  return std::nullopt;
}

}  // namespace murmel
