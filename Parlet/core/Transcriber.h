// The application's door to the speech engine: creates it once, on first need, lets concurrent
// callers share one creation in flight, and turns a recorded file into one line of text.
// Operations block; call them off the main thread. Thread-safe. Errors of creation and
// transcription pass through unchanged; all callers waiting on one creation get the same error,
// and the next call after a failure creates again.
//   Transcriber transcriber(factory);  std::string text = transcriber.transcribe("/run/…/a.wav");
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Parlet/core/SpeechEngine.h"

namespace parlet {

// One recording's transcription with what the engine believes about speech in it.
struct Transcript {
  std::string text;                        // as Transcriber::transcribe gives it
  std::vector<float> noSpeechProbs;        // of every segment of every result, in order
  std::optional<float> noSpeechThreshold;  // the engine's; absent: it judges none
};

class Transcriber {
 public:
  explicit Transcriber(SpeechEngineFactory factory);

  // The engine, created with `engineOptions()` if not yet loaded.
  std::shared_ptr<SpeechEngine> ensure();
  // Result texts joined by " ", trimmed of white space and line breaks at both ends.
  std::string transcribe(const std::filesystem::path& url);
  // The same text with the segments' no-speech probabilities and the engine's threshold.
  Transcript transcript(const std::filesystem::path& url);

  // model "base.en", verbose, log level info, download on, foreground session, the rest absent.
  static EngineOptions engineOptions();

 private:
  using Load = std::shared_future<std::shared_ptr<SpeechEngine>>;

  SpeechEngineFactory factory_;
  std::mutex mutex_;
  std::shared_ptr<SpeechEngine> pipe_;  // set after the first successful load
  std::optional<Load> loading_;          // the load in flight
  std::atomic<std::size_t> joins_{0};    // callers that joined a load in flight

  friend struct TranscriberProbe;  // lets tests see the joins
};

}  // namespace parlet
