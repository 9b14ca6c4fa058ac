// Best-effort clean-up of a raw transcript by the system language model (filler words,
// punctuation, capitals, spoken "new line"). Never fails: when the model is unavailable or
// anything goes wrong the input comes back unchanged. Blocking while the model answers; keeps no
// state between calls, so one Polisher may be used from any thread.
//   Polisher polisher;  polisher.polish("um so yeah") == "um so yeah"   // no model on Linux
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/LanguageModel/SystemLanguageModel.h"

namespace parlet {

class Polisher {
 public:
  // The system instructions of every session (seven lines, 357 bytes).
  static const std::string defaultInstructions;

  explicit Polisher(std::string instructions = defaultInstructions,
                    std::shared_ptr<platform::languagemodel::SystemLanguageModel> model =
                        platform::languagemodel::SystemLanguageModel::defaultModel());

  const std::string& instructions() const { return instructions_; }

  // The model's answer trimmed of white space and line breaks (possibly empty), or `text` as is.
  std::string polish(const std::string& text) const;

 private:
  std::string instructions_;
  std::shared_ptr<platform::languagemodel::SystemLanguageModel> model_;
};

}  // namespace parlet
