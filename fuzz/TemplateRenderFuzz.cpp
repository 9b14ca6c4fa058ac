// Templates compiled and rendered against a chat-like context (messages, tools, flags), as a chat
// template from a repository is. Errors are fine; crashes, hangs and runaway memory are not.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/System/Json.h"
#include "templates/Template.h"

namespace {

const jinja::Template::Context& context() {
  static const jinja::Template::Context c = [] {
    const auto json = platform::json::parse(R"({
      "messages": [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hi \u00e9 \ud83d\ude00"},
                   {"role": "assistant", "content": "Hello.", "tool_calls": [{"function": {"name": "f", "arguments": {"x": 1}}}]}],
      "tools": [{"type": "function", "function": {"name": "f", "parameters": {"type": "object"}}}],
      "add_generation_prompt": true, "bos_token": "<s>", "eos_token": "</s>", "n": 3, "x": 2.5})");
    jinja::Template::Context variables;
    for (const auto& [key, value] : json.asObject()) variables.emplace(key, jinja::Value::fromJson(value));
    return variables;
  }();
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& variables = context();
  try {
    const jinja::Template t(std::string_view(reinterpret_cast<const char*>(data), size));
    // Well within libFuzzer's timeout, so a template that runs without end is a refusal, not a hang.
    (void)t.render(variables, {.timeLimit = std::chrono::seconds(2)});
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  return 0;
}
