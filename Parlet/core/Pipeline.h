// One dictation from key press to pasted text: start() records, stop() runs the road
// transcribe → silence and hallucination checks → polish → check again → archive → paste, and the recording
// is deleted at the end of every road. States, levels and notices go to the creator's callbacks.
// Main thread only: every operation and callback runs on the main queue; transcription and
// polishing run on the background executor and hop back. Nothing throws out of the pipeline;
// failures become notices and log lines. Roads of overlapping dictations run side by side.
// The main queue must outlive the pipeline, not its jobs: destroying the pipeline cuts its roads
// short, and a job still running then ends without touching the queue. Recordings live no longer
// than the pipeline: it removes stale ones of earlier runs when made and its own when destroyed.
//   Pipeline pipeline({onState, onLevel, onNotice}, {.mainQueue = &queue, .transcriber = t, .paster = p});
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/AudioRecorder.h"
#include "Parlet/core/ParletLog.h"
#include "Parlet/core/Paster.h"
#include "Parlet/core/Polisher.h"
#include "Parlet/core/TranscriptArchive.h"
#include "Parlet/core/Transcriber.h"

namespace parlet {

class Pipeline {
 public:
  enum class State { idle, preparing, recording, processing };

  struct Callbacks {
    std::function<void(State)> onStateChange;
    std::function<void(float)> onLevel;  // 0...1 while recording, 0 at stop
    std::function<void(const std::string&)> onNotice;
    // The speech model's availability: none once it loaded (by prewarm() or the first
    // transcription), else why prewarm() or a dictation could not load it (the error's description).
    std::function<void(const std::optional<std::string>& failure)> onModelLoad;
  };

  // Runs a job off the main thread.
  using Executor = std::function<void(std::function<void()>)>;

  struct Dependencies {
    kestrum::MainQueue* mainQueue = nullptr;     // required; must outlive the pipeline
    std::shared_ptr<Transcriber> transcriber;    // required
    std::shared_ptr<Paster> paster;              // required
    std::shared_ptr<AudioRecorder> recorder;     // default: the real recorder, timed on the main queue
    std::shared_ptr<const Polisher> polisher;    // default: Polisher with its instructions
    TranscriptArchive* archive = nullptr;        // default: TranscriptArchive::shared()
    Executor background;                         // default: the shared thread pool
    LogSink log;                                 // default: ParletLog
    std::function<void(const std::string&)> systemLog;  // default: the system log
  };

  // Reports nothing. Throws std::invalid_argument when a required dependency is missing.
  Pipeline(Callbacks callbacks, Dependencies dependencies);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Loads the speech model in the background, once; after a failure a later call tries again.
  // A failure is written to the application log and the system log.
  void prewarm();
  // Key press: starts recording ("Mic unavailable" when the recorder cannot start).
  void start();
  // Key release: stops recording at once (never waiting for the audio device) and runs the road. A
  // recording whose microphone fails, or delivers nothing for 2 s, ends by itself with the notice
  // "Mic unavailable"; one that holds no samples is dropped as empty audio with that notice.
  // Without a speech model the notice is the menu's line, "Speech model unavailable: " and why. A
  // transcript that could not be pasted stays on the clipboard with the notice Paster::keptNotice.
  void stop();
  // The key press was part of a chord: ends the recording and drops it, with nothing transcribed,
  // archived or pasted and no notice.
  void cancel();

  // True for text that is empty after trimming, carries a silence marker, or (for clips under
  // 1.5 s) is one of the usual filler phrases of silent audio.
  static bool isHallucination(std::string_view text, double duration);
  // For a transcript whose every segment (one at least) carries a no-speech probability above the
  // engine's threshold: the lowest of them. Absent otherwise, and when the engine judges none.
  static std::optional<float> silenceProbability(const Transcript& transcript);

  static constexpr double minimumClipSeconds = 0.4;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace parlet
