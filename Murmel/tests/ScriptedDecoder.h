// A scripted stand-in for the decoder models, run by the real runtime (platform::ml::MLModel with a
// kernel of its own), so that the real TextDecoder drives it. Each step it writes the fed token
// and its position into the cache updates, reads the history back from the cache it is handed,
// checks the masks against the position, and emits logits that make the scripted token win and
// alignment weights at a scripted frame. The prefill model writes [start, language, task].
//   ScriptedDecoder fake;  fake.script[1] = 7;  decoder.setModel(fake.decoderModel());
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ML/MLModel.h"

namespace murmel::testing {

struct ScriptedStep {
  ScriptedStep(std::int64_t token = 0) : token(token) {}
  ScriptedStep& asUncertain() { uncertain = true; return *this; }
  ScriptedStep& withLogProb(float value) { logProb = value; return *this; }
  ScriptedStep& withAlignmentFrame(std::int64_t frame, float weight = 1) {
    alignmentFrame = frame;
    alignmentWeight = weight;
    return *this;
  }
  ScriptedStep& withLogit(std::int64_t id, float value) { logits[id] = value; return *this; }

  std::int64_t token;                          // wins the step
  bool uncertain = false;                      // token, token + 1, token + 2 share the maximum
  std::optional<float> logProb;                // the winner's log-probability; absent: about 0
  std::optional<std::int64_t> alignmentFrame;  // frame of the one weight in the alignment output
  float alignmentWeight = 1;
  std::map<std::int64_t, float> logits;        // further logits (all others 0)
};

struct ScriptedDecoderShape {
  std::int64_t vocabulary = 64;  // V
  std::int64_t embedDim = 4;     // E ≥ 3: the cache columns hold token / 256, token % 256, ±(position + 1)
  std::int64_t cacheLength = 32;  // S
  std::int64_t window = 8;       // W encoder frames
  std::int64_t embedSize = 6;    // encoder width
  bool alignment = true;         // emits "alignment_heads_weights"
  std::int64_t prefillLength = 3;
  std::int64_t startOfTranscript = 41, transcribe = 47, translate = 46;  // what the prefill writes
};

class ScriptedDecoder {
 public:
  explicit ScriptedDecoder(ScriptedDecoderShape shape = {});

  // What the model predicts after the token fed at a position; other positions predict `fallback`.
  std::map<std::int64_t, ScriptedStep> script;
  ScriptedStep fallback;
  // Logits of every step hold NaN from this call on (0-based; absent: never).
  std::optional<std::size_t> damagedFromCall;

  std::shared_ptr<platform::ml::MLModel> decoderModel();
  std::shared_ptr<platform::ml::MLModel> prefillModel();
  // An encoder output of the model's shape.
  std::shared_ptr<platform::ml::MLMultiArray> encoderOutput() const;

  struct Call {
    std::int64_t token, position;
    std::vector<std::int64_t> history;  // tokens read back from cache columns 0 ..< position
  };
  std::vector<Call> calls() const;
  std::vector<std::pair<std::int64_t, std::int64_t>> prefillCalls() const;  // (task, language)
  // Every mask or cache inconsistency seen, one line each.
  std::vector<std::string> faults() const;

  const ScriptedDecoderShape shape;

 private:
  friend class ScriptedKernel;
  friend class ScriptedPrefillKernel;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::vector<std::pair<std::int64_t, std::int64_t>> prefillCalls_;
  std::vector<std::string> faults_;
};

}  // namespace murmel::testing
