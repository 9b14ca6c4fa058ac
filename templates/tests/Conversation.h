// A small conversation as chat templates receive it: system, user and assistant messages, a tool
// list, the special tokens and the generation prompt flag.
#pragma once

#include "platform/System/Json.h"
#include "templates/Template.h"

namespace jinja::testing_conversation {

inline Template::Context conversation(bool withTools) {
  namespace json = platform::json;
  Template::Context context;
  context["messages"] = Value::fromAny(json::parse(R"([
    {"role": "system", "content": "You are a helpful assistant."},
    {"role": "user", "content": "What is the weather in Paris?"},
    {"role": "assistant", "content": "It is sunny in Paris today."}
  ])"));
  if (withTools)
    context["tools"] = Value::fromAny(json::parse(R"([{"type": "function", "function": {
      "name": "get_weather", "description": "Current weather for a city",
      "parameters": {"type": "object", "properties": {"city": {"type": "string", "description": "City name"}},
                     "required": ["city"]}}}])"));
  context["bos_token"] = Value("<s>");
  context["eos_token"] = Value("</s>");
  context["add_generation_prompt"] = Value(true);
  return context;
}

}  // namespace jinja::testing_conversation
