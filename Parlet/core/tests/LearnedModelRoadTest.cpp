// A model that learned, on the whole road: the small speech model of shared/fixtures/speech-model,
// served by the local repository server under an ordinary name, is downloaded, packed and loaded
// by the application's engine, and every held-out clip is transcribed. The results are held
// against the fixture's independent reference decoder (its tokens and no-speech probabilities)
// and the clips' true texts, and the application's transcriber and pipeline filters must paste
// speech and nothing for silence or noise.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Murmel/Murmel.h"
#include "Murmel/decoding/LogitsFilter.h"
#include "Parlet/core/MurmelSpeechEngine.h"
#include "Parlet/core/Pipeline.h"
#include "Parlet/core/Transcriber.h"
#include "platform/Audio/AudioFile.h"
#include "platform/System/Json.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

namespace parlet {
namespace {

namespace fs = std::filesystem;
using Tokens = std::vector<std::int64_t>;

constexpr const char* kRepository = "acoustics-lab/small-speech";

fs::path fixture() { return testsupport::fixturesDir() / "speech-model"; }

struct Clip {
  std::string id;
  fs::path wav;
  bool speech = false;
  std::string text;
  double seconds = 0;
  float noSpeechProb = 0;
  Tokens withoutTimestamps, withTimestamps, applicationDefaults;
  std::int64_t applicationFirstTimestamp = 0;
};

Tokens tokensOf(const platform::json::Value& list) {
  Tokens out;
  for (const auto& v : list.asArray()) out.push_back(v.asInt());
  return out;
}

// Under the sanitizers every fourth single sentence and every non-speech clip, so that the run
// stays short there (the multi-sentence clips decode many windows); everywhere else every clip.
bool inThisBuild(const std::string& id, std::size_t speechIndex) {
#if defined(__SANITIZE_ADDRESS__)
  return !id.starts_with("long") && speechIndex % 4 == 0;
#else
  (void)id;
  (void)speechIndex;
  return true;
#endif
}

std::vector<Clip> readClips() {
  const auto document = platform::json::parseFile((fixture() / "clips.json").string());
  std::vector<Clip> clips;
  std::size_t speechIndex = 0;
  for (const auto& entry : document.at("clips").asArray()) {
    Clip c;
    c.id = entry.at("id").asString();
    c.wav = fixture() / entry.at("file").asString();
    c.speech = entry.at("kind").asString() == "speech";
    c.text = entry.at("text").asString();
    const auto& reference = entry.at("reference");
    c.noSpeechProb = reference.at("noSpeechProb").asFloat();
    c.withoutTimestamps = tokensOf(reference.at("withoutTimestamps"));
    c.withTimestamps = tokensOf(reference.at("withTimestamps"));
    c.applicationDefaults = tokensOf(reference.at("applicationDefaults"));
    c.applicationFirstTimestamp = reference.at("applicationDefaultsFirstTimestamp").asInt();
    const platform::audio::AudioFile file(c.wav);
    c.seconds = static_cast<double>(file.length()) / file.fileFormat().sampleRate();
    if (c.speech && !inThisBuild(c.id, speechIndex++)) continue;
    clips.push_back(std::move(c));
  }
  return clips;
}

// "Put the red cup, now." => ["put", "the", "red", "cup", "now"]
std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'') {
      word.push_back(static_cast<char>(std::tolower(u)));
    } else if (!word.empty()) {
      out.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) out.push_back(std::move(word));
  return out;
}

// Word-level Levenshtein distance: substitutions, insertions and deletions.
std::size_t wordEdits(const std::vector<std::string>& truth, const std::vector<std::string>& heard) {
  std::vector<std::size_t> row(heard.size() + 1);
  for (std::size_t j = 0; j <= heard.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= truth.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= heard.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (truth[i - 1] == heard[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[heard.size()];
}

// Corpus word error rate: edits over the words of the true texts.
struct ErrorRate {
  std::size_t edits = 0, words = 0;
  void add(const std::string& truth, const std::string& heard) {
    const auto t = parlet::words(truth);
    edits += wordEdits(t, parlet::words(heard));
    words += t.size();
  }
  double value() const { return words == 0 ? 0 : static_cast<double>(edits) / static_cast<double>(words); }
};

// The rates of the engine and of the reference, over all speech clips and over the single sentences
// (the multi-sentence clips lie beyond what the model learned).
struct ErrorRates {
  ErrorRate engine, reference, engineSingle, referenceSingle;
  void add(const std::string& id, const std::string& truth, const std::string& heard, const std::string& referenceText) {
    engine.add(truth, heard);
    reference.add(truth, referenceText);
    if (id.starts_with("long")) return;
    engineSingle.add(truth, heard);
    referenceSingle.add(truth, referenceText);
  }
  void print(const char* what) const {
    std::printf("[ %s ] word error rate %.4f, reference %.4f; single sentences %.4f, reference %.4f\n", what, engine.value(),
                reference.value(), engineSingle.value(), referenceSingle.value());
  }
  void expectWithinReach(bool ofAll) const {
    if (ofAll) {
      EXPECT_NEAR(engine.value(), reference.value(), 0.03);
    }
    EXPECT_NEAR(engineSingle.value(), referenceSingle.value(), 0.03);
  }
};

std::string describe(const Tokens& tokens) {
  std::string out = "[";
  for (std::size_t i = 0; i < tokens.size(); ++i) out += (i ? " " : "") + std::to_string(tokens[i]);
  return out + "]";
}

// The engine of the application, created once for the suite from the served repository.
struct Road {
  testsupport::TempDir dir;
  testsupport::EnvironmentGuard environment;
  testsupport::HubTestServer server;
  std::shared_ptr<MurmelSpeechEngine> engine;
  std::vector<Clip> clips;
  double loadSeconds = 0;

  Road() {
    server.addRepository("models", kRepository);
    server.addFolder("models", kRepository, fixture() / "model");
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");
    environment.set("HF_ENDPOINT", server.endpoint());
    EngineOptions options = Transcriber::engineOptions();
    options.downloadBase = dir.path() / "cache";
    options.modelRepo = kRepository;
    options.verbose = false;
    options.logLevel = kestrum::Logging::LogLevel::none;
    engine = MurmelSpeechEngine::create(options);
    clips = readClips();
#if defined(__SANITIZE_ADDRESS__)
    std::printf("[ clips ] %zu: every fourth single sentence and every non-speech clip under the sanitizers\n", clips.size());
#endif
  }

  murmel::Murmel& murmel() const { return *engine->engine(); }
};

enum class Mode { withoutTimestamps, withTimestamps, applicationDefaults };

const char* name(Mode mode) {
  switch (mode) {
    case Mode::withoutTimestamps: return "without timestamps";
    case Mode::withTimestamps: return "with timestamps";
    case Mode::applicationDefaults: return "application defaults";
  }
  return "?";
}

// What the first window's first attempt decoded and what its segments say.
struct Decoded {
  Tokens tokens;  // from the start of transcript, without the end of text
  std::vector<murmel::TranscriptionSegment> segments;
};

class LearnedModelRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(fixture() / "clips.json") || !fs::exists(fixture() / "model" / "model.safetensors"))
      GTEST_SKIP() << "fixture " << fixture() << " is absent (shared/fixtures not beside the project)";
    if (!road) road = std::make_unique<Road>();
  }
  static void TearDownTestSuite() { road.reset(); }

  // The reference decoder's settings for the mode, on the engine's defaults as the application
  // leaves them: one attempt, and every window kept, so that its no-speech probability shows.
  static murmel::DecodingOptions options(Mode mode) {
    murmel::DecodingOptions o;
    o.temperatureFallbackCount = 0;
    o.noSpeechThreshold = std::nullopt;
    if (mode == Mode::applicationDefaults) return o;
    o.suppressBlank = true;
    o.supressTokens = nonSpeechTokens();
    o.withoutTimestamps = mode == Mode::withoutTimestamps;
    if (mode == Mode::withTimestamps) {
      o.maxInitialTimestamp = 1.0f;
      o.wordTimestamps = true;
    }
    return o;
  }

  static Tokens nonSpeechTokens() {
    return tokensOf(platform::json::parseFile((fixture() / "model" / "generation_config.json").string()).at("suppress_tokens"));
  }

  // The special tokens the reference suppresses besides the timestamp rules; the options' list
  // keeps only ids below the special tokens, so these go in as a filter of the caller's.
  static std::vector<std::shared_ptr<murmel::LogitsFiltering>> specialTokenFilter(const murmel::SpecialTokens& s) {
    return {std::make_shared<murmel::SuppressTokensFilter>(Tokens{s.translateToken, s.transcribeToken, s.startOfTranscriptToken,
                                                                  s.startOfPreviousToken, s.startOfPreviousToken - 1,
                                                                  s.noSpeechToken})};
  }

  static Decoded decode(const Clip& clip, Mode mode) {
    auto& murmel = road->murmel();
    const auto decoder = murmel.textDecoder();
    decoder->setLogitsFilters(mode == Mode::applicationDefaults
                                  ? std::vector<std::shared_ptr<murmel::LogitsFiltering>>{}
                                  : specialTokenFilter(murmel.tokenizer()->specialTokens()));
    Decoded out;
    std::mutex mutex;
    const auto results = murmel.transcribe(clip.wav.string(), options(mode), [&](const murmel::TranscriptionProgress& p) {
      std::lock_guard hold(mutex);
      if (p.windowId == 0) out.tokens = p.tokens;  // the end of text is never reported
      return std::optional<bool>();
    });
    decoder->setLogitsFilters(std::vector<std::shared_ptr<murmel::LogitsFiltering>>{});
    for (const auto& result : results)
      if (result)
        for (auto& s : result->segments()) out.segments.push_back(std::move(s));
    return out;
  }

  // The tokens the reference lists for the mode, and where the engine's match them: after the
  // prompt, and in the application's mode after the model's own first timestamp.
  static std::pair<Tokens, Tokens> compared(const Clip& clip, Mode mode, const Tokens& decoded) {
    auto after = [&](std::size_t n) { return decoded.size() > n ? Tokens(decoded.begin() + static_cast<std::ptrdiff_t>(n), decoded.end()) : Tokens{}; };
    switch (mode) {
      case Mode::withoutTimestamps: return {clip.withoutTimestamps, after(4)};
      case Mode::withTimestamps: return {clip.withTimestamps, after(3)};
      case Mode::applicationDefaults: {
        Tokens reference{clip.applicationFirstTimestamp};
        reference.insert(reference.end(), clip.applicationDefaults.begin(), clip.applicationDefaults.end());
        return {reference, after(3)};
      }
    }
    return {};
  }

  std::string text(const Tokens& tokens) const {
    const auto tokenizer = road->murmel().tokenizer();
    Tokens ordinary;
    for (auto t : tokens)
      if (t < tokenizer->specialTokens().specialTokenBegin) ordinary.push_back(t);
    return tokenizer->decode(ordinary);
  }

  static inline std::unique_ptr<Road> road;
};

TEST_F(LearnedModelRoadTest, TheApplicationsEngineDownloadsPacksAndLoadsTheModelFromAnOrdinaryRepository) {
  const auto folder = road->murmel().modelFolder();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, road->dir.path() / "cache" / "models" / "acoustics-lab" / "small-speech" / "acoustics-lab_small-speech");
  EXPECT_EQ(road->murmel().modelState(), kestrum::ModelState::loaded);
  EXPECT_TRUE(road->murmel().textDecoder()->isModelMultilingual());
  EXPECT_EQ(road->murmel().tokenizer()->specialTokens().noSpeechToken, 50362);
}

// Per mode: the tokens of the reference on at least 90 % of the speech clips (a near-tie may flip
// a token between the engine's half precision and the reference's floats; the clips that differ
// are printed), the no-speech probability on every clip, the word error rate, and every segment
// and word time inside its clip.
TEST_F(LearnedModelRoadTest, EveryModeDecodesTheReferencesTokensAndNoSpeechProbabilities) {
  for (Mode mode : {Mode::withoutTimestamps, Mode::withTimestamps, Mode::applicationDefaults}) {
    SCOPED_TRACE(name(mode));
    std::size_t speech = 0, equal = 0;
    ErrorRates rates;
    for (const Clip& clip : road->clips) {
      SCOPED_TRACE(clip.id);
      const Decoded decoded = decode(clip, mode);
      // With word times a non-speech clip may keep no segment: its invented words get no duration.
      if (decoded.segments.empty()) {
        EXPECT_TRUE(mode == Mode::withTimestamps && !clip.speech);
      } else {
        EXPECT_NEAR(decoded.segments.front().noSpeechProb, clip.noSpeechProb, 0.01f);
      }
      for (const auto& s : decoded.segments) {
        EXPECT_LE(0.0f, s.start);
        EXPECT_LE(s.start, s.end);
        EXPECT_LE(s.end, clip.seconds + 1e-3);
        for (const auto& w : s.words.value_or(std::vector<murmel::WordTiming>{})) {
          EXPECT_LE(0.0f, w.start) << w.word;
          EXPECT_LE(w.start, w.end) << w.word;
          EXPECT_LE(w.end, clip.seconds + 1e-3) << w.word;
        }
      }
      if (!clip.speech) continue;
      const auto [reference, engine] = compared(clip, mode, decoded.tokens);
      ++speech;
      if (engine == reference) {
        ++equal;
      } else {
        std::size_t at = 0, differing = 0;
        while (at < engine.size() && at < reference.size() && engine[at] == reference[at]) ++at;
        for (std::size_t i = 0; i < std::max(engine.size(), reference.size()); ++i)
          differing += i >= engine.size() || i >= reference.size() || engine[i] != reference[i];
        std::printf("[ %s ] %s differs from token %zu on (%zu of %zu tokens): engine %s, reference %s\n", name(mode),
                    clip.id.c_str(), at, differing, reference.size(), describe(engine).c_str(), describe(reference).c_str());
      }
      rates.add(clip.id, clip.text, text(engine), text(reference));
    }
    std::printf("[ %s ] tokens equal on %zu of %zu speech clips\n", name(mode), equal, speech);
    rates.print(name(mode));
    EXPECT_GE(static_cast<double>(equal), 0.9 * static_cast<double>(speech));
    rates.expectWithinReach(true);
  }
}

// As a dictation goes: the application's transcriber on this engine, then the pipeline's silence
// and hallucination checks. Speech comes through with its words; silence and noise give nothing.
TEST_F(LearnedModelRoadTest, TheApplicationPastesSpeechAndNothingForSilenceOrNoise) {
  Transcriber transcriber([](const EngineOptions&) -> std::shared_ptr<SpeechEngine> { return road->engine; });
  ErrorRates rates;
  for (const Clip& clip : road->clips) {
    SCOPED_TRACE(clip.id);
    const Transcript transcript = transcriber.transcript(clip.wav);
    const auto silence = Pipeline::silenceProbability(transcript);
    const bool dropped = silence || Pipeline::isHallucination(transcript.text, clip.seconds);
    std::string lowest = "-";
    if (!transcript.noSpeechProbs.empty()) {
      char figure[16];
      std::snprintf(figure, sizeof figure, "%.4f",
                    static_cast<double>(*std::min_element(transcript.noSpeechProbs.begin(), transcript.noSpeechProbs.end())));
      lowest = figure;
    }
    std::printf("[ application ] %s: %s (no-speech probability %s) \"%s\"\n", clip.id.c_str(),
                dropped ? (silence ? "dropped as silence" : "dropped as hallucination") : "pasted", lowest.c_str(),
                transcript.text.c_str());
    if (!clip.speech) {
      EXPECT_TRUE(dropped) << transcript.text;
      continue;
    }
    EXPECT_FALSE(dropped) << transcript.text;
    EXPECT_FALSE(words(transcript.text).empty());
    rates.add(clip.id, clip.text, transcript.text, text(clip.applicationDefaults));
  }
  rates.print("application");
  // A multi-sentence clip goes through windows and fallbacks at random temperatures that the
  // reference's one attempt on one window does not know: only the single sentences compare.
  rates.expectWithinReach(false);
}

}  // namespace
}  // namespace parlet
