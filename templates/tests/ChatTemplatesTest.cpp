// The real chat templates compile and render a small conversation.
#include <filesystem>
#include <fstream>
#include <map>
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

// Jinja2 (python3-jinja2 3.1) renderings of the conversation, for the templates that need no
// built-in filter, test or global function.
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

// Every template compiles. Those that need no built-in render as Jinja2 does; the others stop
// only at the first built-in they need (a filter, a test, or a global function such as
// raise_exception, which is not callable while absent), never at an error of the runtime itself.
TEST(ChatTemplatesTest, EveryTemplateCompilesAndRendersUpToMissingBuiltIns) {
  PARLET_REQUIRE_FIXTURE(folder());
  int count = 0, rendered = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder())) {
    if (entry.path().extension() != ".jinja") continue;
    ++count;
    const std::string name = entry.path().filename().string();
    const std::string source = read(entry.path());
    std::optional<Template> compiled;
    try {
      compiled.emplace(source);
    } catch (const JinjaError& e) {
      ADD_FAILURE() << name << ": " << e.what();
      continue;
    }
    auto golden = goldens().find(name);
    try {
      std::string out = compiled->render(testing_conversation::conversation(usesTools(name, source)));
      ++rendered;
      if (golden != goldens().end()) EXPECT_EQ(out, golden->second) << name;
    } catch (const TemplateException& e) {
      auto refusal = refusals().find(name);
      ASSERT_NE(refusal, refusals().end()) << name << ": " << e.what();
      EXPECT_EQ(e.what(), refusal->second) << name;
      ++rendered;
    } catch (const JinjaError& e) {
      EXPECT_EQ(golden, goldens().end()) << name << ": " << e.what();
      const std::string& message = e.message();
      EXPECT_TRUE(message.rfind("Unknown filter: ", 0) == 0 || message.rfind("Unknown test: ", 0) == 0 ||
                  message == "Cannot call non-function value")
          << name << ": " << e.what();
    }
  }
  EXPECT_EQ(count, 28) << "chat templates in " << folder();
  EXPECT_GE(rendered, static_cast<int>(goldens().size()));
}

}  // namespace
}  // namespace jinja
