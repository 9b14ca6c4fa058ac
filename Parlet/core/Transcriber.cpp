#include "Parlet/core/Transcriber.h"

#include <stdexcept>

#include "Parlet/core/detail/Text.h"

namespace parlet {

Transcriber::Transcriber(SpeechEngineFactory factory) : factory_(std::move(factory)) {}

EngineOptions Transcriber::engineOptions() {
  EngineOptions options;
  options.model = "base.en";
  options.verbose = true;
  options.logLevel = kestrum::Logging::LogLevel::info;
  options.download = true;
  options.useBackgroundDownloadSession = false;
  return options;
}

std::shared_ptr<SpeechEngine> Transcriber::ensure() {
  std::shared_ptr<std::promise<std::shared_ptr<SpeechEngine>>> owner;
  Load load;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (pipe_) return pipe_;
    if (loading_) {
      load = *loading_;
      ++joins_;
    } else {
      owner = std::make_shared<std::promise<std::shared_ptr<SpeechEngine>>>();
      loading_ = owner->get_future().share();
      load = *loading_;
    }
  }
  if (owner) {
    // This caller runs the creation; later callers wait on `load`.
    try {
      if (!factory_) throw std::runtime_error("no speech engine is available");
      std::shared_ptr<SpeechEngine> engine = factory_(engineOptions());
      if (!engine) throw std::runtime_error("the speech engine could not be created");
      {
        std::lock_guard<std::mutex> hold(mutex_);
        pipe_ = engine;
        loading_.reset();
      }
      owner->set_value(engine);
    } catch (...) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        loading_.reset();
      }
      owner->set_exception(std::current_exception());
    }
  }
  return load.get();
}

std::string Transcriber::transcribe(const std::filesystem::path& url) { return transcript(url).text; }

Transcript Transcriber::transcript(const std::filesystem::path& url) {
  std::shared_ptr<SpeechEngine> engine = ensure();
  std::vector<EngineResult> results = engine->transcribe(url.string());
  Transcript out;
  std::string joined;
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (i > 0) joined.push_back(' ');
    joined += results[i].text;
    out.noSpeechProbs.insert(out.noSpeechProbs.end(), results[i].noSpeechProbs.begin(), results[i].noSpeechProbs.end());
  }
  out.text = detail::trimmingWhitespaceAndNewlines(joined);
  out.noSpeechThreshold = engine->noSpeechThreshold();
  return out;
}

}  // namespace parlet
