#include "Parlet/core/Polisher.h"

#include "Parlet/core/detail/Text.h"

namespace parlet {

const std::string Polisher::defaultInstructions =
    "You polish raw voice dictation transcripts into clean written text.\n"
    "Rules:\n"
    "- Remove filler words (um, uh, like, you know).\n"
    "- Fix punctuation and capitalization.\n"
    "- Keep the speaker's wording and intent. Do not summarize or paraphrase.\n"
    "- If the speaker says \"new line\" or \"new paragraph\", insert one.\n"
    "- Output ONLY the polished text. No quotes, no commentary.";

Polisher::Polisher(std::string instructions, std::shared_ptr<platform::languagemodel::SystemLanguageModel> model)
    : instructions_(std::move(instructions)), model_(std::move(model)) {}

std::string Polisher::polish(const std::string& text) const {
  if (text.empty() || !model_) return text;
  try {
    if (!model_->availability().isAvailable()) return text;
    auto session = model_->makeSession(instructions_);
    if (!session) return text;
    std::string content = session->respond(text, platform::languagemodel::GenerationOptions{});
    return detail::trimmingWhitespaceAndNewlines(content);
  } catch (...) {
    return text;
  }
}

}  // namespace parlet
