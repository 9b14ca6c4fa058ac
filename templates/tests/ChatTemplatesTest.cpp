// The real chat templates compile and render a small conversation.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"
#include "templates/Template.h"
#include "templates/TemplateException.h"
#include "templates/tests/Conversation.h"
#include "testsupport/Fixtures.h"

namespace jinja {
namespace {

std::filesystem::path folder() { return testsupport::fixturesDir() / "chat-templates"; }

std::string read(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool usesTools(const std::string& name, const std::string& source) {
  return name.find("tool") != std::string::npos || source.find("tools") != std::string::npos;
}

// Jinja2 (python3-jinja2 3.1, default environment) renderings of the conversation, for the
// templates where the dialects agree. The others differ from Jinja2 only where this engine's own
// rules apply: tojson writes compact or two-space "key" : value JSON, strftime_now reads today's
// date, and whitespace control around some tags.
const std::map<std::string, std::string>& goldens() {
  static const std::map<std::string, std::string> table = {
      {"chatglm.jinja",
       "[gMASK]sop<|system|>\n You are a helpful assistant.<|user|>\n What is the weather in Paris?<|assistant|>\n It "
       "is sunny in Paris today.<|assistant|>"},
      {"chatml.jinja",
       "<|im_start|>system\nYou are a helpful assistant.<|im_end|>\n<|im_start|>user\nWhat is the weather in "
       "Paris?<|im_end|>\n<|im_start|>assistant\nIt is sunny in Paris today.<|im_end|>\n<|im_start|>assistant\n"},
      {"phi-4-mini-instruct.jinja",
       "<|system|>You are a helpful assistant.<|end|><|user|>What is the weather in Paris?<|end|><|assistant|>It is "
       "sunny in Paris today.<|end|><|assistant|>"},
      {"llama-2-chat.jinja",
       "<s>[INST] <<SYS>>\nYou are a helpful assistant.\n<</SYS>>\n\nWhat is the weather in Paris? [/INST] It is sunny "
       "in Paris today. </s>"},
      {"phi-3.5-mini-instruct.jinja",
       "<|system|>\nYou are a helpful assistant.<|end|>\n<|user|>\nWhat is the weather in Paris?<|end|>\n<|assistant|>"
       "\nIt is sunny in Paris today.<|end|>\n<|assistant|>\n"},
      {"phi-3-mini-4k-instruct.jinja",
       "<|system|>\nYou are a helpful assistant.<|end|>\n<|user|>\nWhat is the weather in Paris?<|end|>\n<|assistant|>"
       "\nIt is sunny in Paris today.<|end|>\n<|assistant|>\n"},
      {"deepseek-r1-distill-llama-8b.jinja",
       "<s>You are a helpful assistant.<｜User｜>What is the weather in Paris?<｜Assistant｜>It is sunny in Pari"
       "s today.<｜end▁of▁sentence｜><｜Assistant｜><think>\n"},
      {"deepseek-v3.1.jinja",
       "<s>You are a helpful assistant.<｜User｜>What is the weather in Paris?<｜Assistant｜></think>It is sunny"
       " in Paris today.<｜end▁of▁sentence｜>"},
      {"functionary-medium-v3.2.jinja",
       "<s><|start_header_id|>system<|end_header_id|>\n\nYou are capable of executing available function(s) "
       "if required.\nOnly execute function(s) when absolutely necessary.\nAsk for the required input to:rec"
       "ipient==all\nUse JSON for function arguments.\nRespond in this format:\n>>>${recipient}\n${content}\n"
       "Available functions:\n// Supported function definitions that should be called when necessary.\nnames"
       "pace functions {\n\n// Current weather for a city\ntype get_weather = (_: {\n// City name.\ncity: st"
       "ring,\n}) => any;\n\n} // namespace functions<|eot_id|><|start_header_id|>system<|end_header_id|>\n\n"
       "You are a helpful assistant.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\nWhat is the weathe"
       "r in Paris?<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n>>>all\nIt is sunny in Paris t"
       "oday.<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n>>>"},
      {"llama-2-chat-multiline.jinja",
       "\n    \n    \n\n\n\n    \n\n    \n        \n    \n\n    \n        <s>[INST] <<SYS>>\nYou are a helpf"
       "ul assistant.\n<</SYS>>\n\nWhat is the weather in Paris? [/INST]\n    \n\n    \n\n    \n        \n  "
       "  \n\n    \n         It is sunny in Paris today. </s>\n    \n"},
      {"llama-3-8b-instruct.jinja",
       "<s><|start_header_id|>system<|end_header_id|>\n\nYou are a helpful assistant.<|eot_id|><|start_heade"
       "r_id|>user<|end_header_id|>\n\nWhat is the weather in Paris?<|eot_id|><|start_header_id|>assistant<|"
       "end_header_id|>\n\nIt is sunny in Paris today.<|eot_id|><|start_header_id|>assistant<|end_header_id|"
       ">\n\n"},
      {"zephyr-multiline.jinja",
       "\n    \n\n\n\n    \n\n    <|system|>\nYou are a helpful assistant.</s>\n\n\n    \n\n    <|user|>\nWh"
       "at is the weather in Paris?</s>\n\n\n    \n\n    <|assistant|>\nIt is sunny in Paris today.</s>\n\n\n"
       "\n\n    <|assistant|>\n\n"},
  };
  return table;
}

// Templates that refuse the conversation on purpose, with Jinja2's message.
const std::map<std::string, std::string>& refusals() {
  static const std::map<std::string, std::string> table = {
      {"gemma-2-2b-it.jinja", "System role not supported"},
      {"mistral-7b-instruct-v0.1.jinja", "Conversation roles must alternate user/assistant/user/assistant/..."},
  };
  return table;
}

// Templates that mention tools but read them from elsewhere: a `functions` variable, or the
// system message's own tool list.
bool listsTheTools(const std::string& name) {
  return name != "firefunction-v2.jinja" && name != "phi-4-mini-instruct.jinja";
}

// Every template compiles and renders the conversation (with the tool list where it takes one), or
// refuses it as Jinja2 does; where the dialects agree the output is Jinja2's byte for byte.
TEST(ChatTemplatesTest, EveryTemplateRendersTheConversation) {
  PARLET_REQUIRE_FIXTURE(folder());
  int count = 0, compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder())) {
    if (entry.path().extension() != ".jinja") continue;
    ++count;
    const std::string name = entry.path().filename().string();
    const std::string source = read(entry.path());
    const bool tools = usesTools(name, source);
    try {
      std::string out = Template(source).render(testing_conversation::conversation(tools));
      EXPECT_EQ(refusals().count(name), 0u) << name << " rendered instead of refusing";
      EXPECT_NE(out.find("It is sunny in Paris today."), std::string::npos) << name;
      if (tools && listsTheTools(name)) {
        EXPECT_NE(out.find("get_weather"), std::string::npos) << name;
      }
      if (auto golden = goldens().find(name); golden != goldens().end()) {
        EXPECT_EQ(out, golden->second) << name;
        ++compared;
      }
    } catch (const TemplateException& e) {
      auto refusal = refusals().find(name);
      ASSERT_NE(refusal, refusals().end()) << name << ": " << e.what();
      EXPECT_EQ(e.what(), refusal->second) << name;
    } catch (const JinjaError& e) {
      ADD_FAILURE() << name << ": " << e.what();
    }
  }
  EXPECT_EQ(count, 28) << "chat templates in " << folder();
  EXPECT_EQ(compared, static_cast<int>(goldens().size()));
}

}  // namespace
}  // namespace jinja
