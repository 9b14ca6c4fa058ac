// Chat templates of a pre-trained tokenizer, over the phi-3-mini fixture: the template of the
// configuration, named templates, the context and truncation.
#include <algorithm>

#include <gtest/gtest.h>

#include "Tokenizers/AutoTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"
#include "platform/System/Json.h"
#include "templates/TemplateException.h"

namespace tokenizers {
namespace {

using testing::json;
using testing::readConfig;
using testing::tokenizerFixture;
using testing::with;

std::vector<ChatMessage> conversation() {
  std::vector<ChatMessage> out;
  for (const char* text : {R"({"role": "user", "content": "Hello there"})", R"({"role": "assistant", "content": "Hi!"})",
                           R"({"role": "user", "content": "What is 2+2?"})"})
    out.push_back(platform::json::parse(text));
  return out;
}

class ChatTemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PARLET_REQUIRE_FIXTURE(tokenizerFixture("phi-3-mini") / "tokenizer.json");
    config = readConfig(tokenizerFixture("phi-3-mini") / "tokenizer_config.json");
    data = readConfig(tokenizerFixture("phi-3-mini") / "tokenizer.json");
  }
  std::unique_ptr<PreTrainedTokenizer> make(const hub::Config& tokenizerConfig) {
    return AutoTokenizer::from(tokenizerConfig, data, true);
  }
  hub::Config config, data;
};

// Jinja2's rendering of the file's template; the special-token ids are the file's added tokens.
TEST_F(ChatTemplateTest, AppliesTheConfigurationTemplateAndEncodesTheText) {
  auto tokenizer = make(config);
  ASSERT_TRUE(tokenizer->hasChatTemplate());
  const std::string rendered =
      "<|user|>\nHello there<|end|>\n<|assistant|>\nHi!<|end|>\n<|user|>\nWhat is 2+2?<|end|>\n<|assistant|>\n";
  std::vector<TokenId> ids = tokenizer->applyChatTemplate(conversation());
  EXPECT_EQ(ids, tokenizer->encode(rendered, false));
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.front(), 32010);  // <|user|>, and no <s> in front
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 32007), 3);  // <|end|>
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 32001), 2);  // <|assistant|>
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 32010), 2);
  // The file's <|user|>, <|assistant|> and <|end|> strip the white space after them (rstrip).
  EXPECT_EQ(tokenizer->decode(ids), "<|user|>Hello there<|end|><|assistant|>Hi!<|end|><|user|>What is 2+2?<|end|><|assistant|>");

  ChatTemplateOptions options;
  options.addGenerationPrompt = false;
  std::vector<TokenId> withoutPrompt = tokenizer->applyChatTemplate(conversation(), options);
  EXPECT_EQ(tokenizer->decode(withoutPrompt), "<|user|>Hello there<|end|><|assistant|>Hi!<|end|><|user|>What is 2+2?<|end|><|endoftext|>");
}

TEST_F(ChatTemplateTest, ContextHoldsToolsExtraVariablesAndSpecialTokens) {
  auto tokenizer = make(config);
  const std::string source =
      "{{ bos_token }}|{{ eos_token }}|{{ pad_token }}|{{ unk_token }}|{{ tools | length }}|{{ day }}|"
      "{{ messages | length }}|{{ add_generation_prompt }}|{{ sep_token is defined }}";
  ChatTemplateOptions options;
  options.chatTemplate = ChatTemplateArgument::literal(source);
  options.tools = std::vector<platform::json::Value>{platform::json::parse(R"({"name": "f"})")};
  options.additionalContext = platform::json::parse(R"({"day": "Monday", "bos_token": "ignored"})");
  EXPECT_EQ(tokenizer->decode(tokenizer->applyChatTemplate(conversation(), options)),
            "<s>|<|endoftext|>|<|endoftext|>|<unk>|1|Monday|3|true|false");
  // A special token given as a map reads its content.
  auto mapped = make(with(config, "eos_token", json(R"({"content": "</x>", "lstrip": false})")));
  EXPECT_EQ(mapped->decode(mapped->applyChatTemplate(conversation(), std::string("{{ eos_token }}"))), "</x>");
}

TEST_F(ChatTemplateTest, NamedTemplatesAndMissingOnes) {
  auto named = make(with(config, "chat_template", json(R"([{"name": "default", "template": "D"},
      {"name": "tool_use", "template": "T"}, {"name": 5, "template": "X"}, {"name": "rag"}])")));
  auto text = [&](const ChatTemplateOptions& options) { return named->decode(named->applyChatTemplate(conversation(), options)); };
  EXPECT_EQ(text({}), "D");
  ChatTemplateOptions withTools;
  withTools.tools = std::vector<platform::json::Value>{platform::json::parse("{}")};
  EXPECT_EQ(text(withTools), "T");
  withTools.tools->clear();
  EXPECT_EQ(text(withTools), "D");  // an empty tool list does not pick tool_use
  ChatTemplateOptions byName;
  byName.chatTemplate = ChatTemplateArgument::name("tool_use");
  EXPECT_EQ(text(byName), "T");
  byName.chatTemplate = ChatTemplateArgument::name("rag");
  try {
    text(byName);
    ADD_FAILURE() << "no error";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::chatTemplate);
    EXPECT_NE(std::string(e.what()).find("No chat template named \"rag\" was found in the tokenizer config"), std::string::npos);
  }
  // A single template is used whatever name is asked for.
  EXPECT_EQ(make(config)->decode(make(config)->applyChatTemplate(conversation(), byName)).substr(0, 8), "<|user|>");

  auto none = make(with(config, "chat_template", hub::Config()));
  EXPECT_FALSE(none->hasChatTemplate());
  try {
    none->applyChatTemplate(conversation());
    ADD_FAILURE() << "no error";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.kind(), TokenizerError::Kind::missingChatTemplate);
  }
  auto onlyOthers = make(with(config, "chat_template", json(R"([{"name": "rag", "template": "R"}])")));
  EXPECT_THROW(onlyOthers->applyChatTemplate(conversation()), TokenizerError);
  // The template's own refusal reaches the caller.
  EXPECT_THROW(make(config)->applyChatTemplate(conversation(), std::string("{{ raise_exception('no') }}")),
               jinja::TemplateException);
}

TEST_F(ChatTemplateTest, TruncatesOnlyWhenAsked) {
  auto tokenizer = make(config);
  std::vector<TokenId> whole = tokenizer->applyChatTemplate(conversation());
  ChatTemplateOptions options;
  options.maxLength = 3;
  EXPECT_EQ(tokenizer->applyChatTemplate(conversation(), options), whole);  // no truncation asked
  options.truncation = true;
  EXPECT_EQ(tokenizer->applyChatTemplate(conversation(), options), std::vector<TokenId>(whole.begin(), whole.begin() + 3));
  // The model's limit applies too.
  auto small = make(with(config, "model_max_length", hub::Config(2)));
  options.maxLength.reset();
  EXPECT_EQ(small->applyChatTemplate(conversation(), options), std::vector<TokenId>(whole.begin(), whole.begin() + 2));
}

}  // namespace
}  // namespace tokenizers
