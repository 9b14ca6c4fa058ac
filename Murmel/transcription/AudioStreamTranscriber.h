// Transcribes the microphone while it records: live capture through an audio front end, and a loop
// that re-transcribes the whole growing sample store whenever more than one second of new audio has
// arrived (with `useVAD`, only when the recent energy shows voice), decoding from the end of the last
// confirmed segment. All but the latest `requiredSegmentsForConfirmation` segments are confirmed.
// Operations run one at a time under the transcriber's own mutex, which is never held while the
// audio front end is called (its callbacks may come back at once); capture and progress callbacks
// reach it through one ordered queue on the shared pool and hold it weakly, so it is made only
// through `make`. Every state change, field by field, goes to the state-change callback with the
// state before and after it, in the order of the changes, once the mutex is released: the callback
// may call the transcriber (stop it, for one). One thread at a time delivers; an operation returns
// once its changes are out, except one called from the callback, whose changes follow the current.
// So the callback must not wait for another thread that uses the transcriber (such as the loop's).
//   auto t = AudioStreamTranscriber::make(encoder, extractor, seeker, decoder, tokenizer, processor);
//   std::thread loop([&] { t->startStreamTranscription(); });  ...  t->stopStreamTranscription();
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Murmel/audio/AudioEncoder.h"
#include "Murmel/audio/AudioProcessing.h"
#include "Murmel/data/DecodingOptions.h"
#include "Murmel/data/TranscriptionResult.h"
#include "Murmel/decoding/TextDecoder.h"
#include "Murmel/decoding/WhisperTokenizer.h"
#include "Murmel/transcription/SegmentSeeker.h"
#include "Murmel/transcription/TranscribeTask.h"

namespace murmel {

class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
  struct Passkey {};

 public:
  struct State {
    bool isRecording = false;                  // the loop runs while true
    std::int64_t currentFallbacks = 0;         // fallbacks of the transcription in progress
    std::int64_t lastBufferSize = 0;           // store size at the last transcription, in samples
    float lastConfirmedSegmentEndSeconds = 0;  // decoding starts here
    std::vector<float> bufferEnergy;           // relative energy per captured buffer
    std::string currentText;                   // text of the transcription in progress, or the waiting text
    std::vector<TranscriptionSegment> confirmedSegments;
    std::vector<TranscriptionSegment> unconfirmedSegments;
    std::vector<std::string> unconfirmedText;  // earlier texts kept when the current text shrank

    friend bool operator==(const State&, const State&) = default;
  };
  using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;

  // A negative `requiredSegmentsForConfirmation` counts as 0; a `compressionCheckWindow` below 1
  // switches the repetition check off.
  static std::shared_ptr<AudioStreamTranscriber> make(
      std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
      std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
      std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
      DecodingOptions decodingOptions = {}, std::int64_t requiredSegmentsForConfirmation = 2,
      float silenceThreshold = 0.3f, std::int64_t compressionCheckWindow = 60, bool useVAD = true,
      StateChangeCallback stateChangeCallback = nullptr);

  AudioStreamTranscriber(Passkey, std::shared_ptr<AudioEncoding> audioEncoder,
                         std::shared_ptr<FeatureExtracting> featureExtractor,
                         std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                         std::shared_ptr<const WhisperTokenizer> tokenizer,
                         std::shared_ptr<AudioProcessing> audioProcessor, DecodingOptions decodingOptions,
                         std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
                         std::int64_t compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback);
  ~AudioStreamTranscriber();
  AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
  AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

  // Starts capture and runs the transcription loop on the calling thread until
  // stopStreamTranscription; does nothing while already recording. A capture start error is thrown
  // and leaves the transcriber idle; a transcription error ends the loop and is logged, not thrown.
  void startStreamTranscription();
  // Ends recording and capture; the loop returns after its current pass.
  void stopStreamTranscription();

  std::int64_t requiredSegmentsForConfirmation() const { return requiredSegmentsForConfirmation_; }
  bool useVAD() const { return useVAD_; }
  float silenceThreshold() const { return silenceThreshold_; }
  std::int64_t compressionCheckWindow() const { return compressionCheckWindow_; }
  const DecodingOptions& decodingOptions() const { return decodingOptions_; }

 private:
  struct Hops;  // the ordered queue of callback hops

  void onAudioBufferCallback();
  void onProgressCallback(const TranscriptionProgress& progress);
  // One pass of the loop; `lock` holds the mutex and is released while transcribing and idling.
  void transcribeCurrentBuffer(std::unique_lock<std::mutex>& lock);
  TranscriptionResult transcribeAudioSamples(const std::vector<float>& samples, float startSeconds);
  // Sleeps up to 100 ms, less when recording stops.
  void idle(std::unique_lock<std::mutex>& lock);
  // false asks the decoder to stop the window, nothing lets it go on.
  static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                             std::int64_t compressionCheckWindow);
  // Applies one change to the state and queues its report.
  template <class Change>
  void update(Change&& change);
  // With the mutex held by `lock`: hands the queued reports to the callback with the mutex
  // released (after waiting for another thread's delivery), and returns with it held again.
  void deliverChanges(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;  // recording stopped, or a loop ended
  bool loopRunning_ = false;
  // A capture start under way in the front end, which is called without the mutex, and the stops
  // not yet over, counted from their call: a start waits for them.
  bool captureStarting_ = false;
  int captureStops_ = 0;
  State state_;
  StateChangeCallback stateChangeCallback_;
  std::deque<std::pair<State, State>> pendingChanges_;  // (before, after), oldest first
  bool delivering_ = false;                             // deliverer_ is handing out pendingChanges_
  std::thread::id deliverer_;
  std::condition_variable delivered_;                   // delivering_ became false

  const std::int64_t requiredSegmentsForConfirmation_;
  const bool useVAD_;
  const float silenceThreshold_;
  const std::int64_t compressionCheckWindow_;
  TranscribeTask transcribeTask_;  // used by the loop only
  const std::shared_ptr<AudioProcessing> audioProcessor_;
  const DecodingOptions decodingOptions_;
  const std::shared_ptr<Hops> hops_;
};

}  // namespace murmel
