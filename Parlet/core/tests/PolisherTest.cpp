#include "Parlet/core/Polisher.h"

#include <gtest/gtest.h>

#include "Parlet/core/tests/Fakes.h"

namespace parlet {
namespace {

TEST(PolisherTest, InstructionsAreTheSevenLinePrompt) {
  const std::string& text = Polisher::defaultInstructions;
  EXPECT_EQ(text.size(), 357u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
  EXPECT_EQ(text.substr(0, text.find('\n')), "You polish raw voice dictation transcripts into clean written text.");
  EXPECT_NE(text.find("- If the speaker says \"new line\" or \"new paragraph\", insert one.\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.rfind('\n') + 1), "- Output ONLY the polished text. No quotes, no commentary.");
}

TEST(PolisherTest, ReturnsTheModelsAnswerTrimmed) {
  struct Case {
    std::string response;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{"  Hello, world.\n", "Hello, world."}, {" \n\t", ""}}) {
    auto model = std::make_shared<testing::FakeLanguageModel>();
    model->response = c.response;
    Polisher polisher(Polisher::defaultInstructions, model);
    EXPECT_EQ(polisher.polish("um hello world"), c.expected);
    EXPECT_EQ(model->sessions, std::vector<std::string>{Polisher::defaultInstructions});
    EXPECT_EQ(model->prompts, std::vector<std::string>{"um hello world"});
  }
}

TEST(PolisherTest, FallsBackToTheInputByteForByte) {
  const std::string input = "  um, so yeah \n";
  {
    auto model = std::make_shared<testing::FakeLanguageModel>();
    model->available = false;
    model->response = "ignored";
    EXPECT_EQ(Polisher(Polisher::defaultInstructions, model).polish(input), input);
    EXPECT_TRUE(model->sessions.empty());
  }
  {
    auto model = std::make_shared<testing::FakeLanguageModel>();  // respond throws
    EXPECT_EQ(Polisher(Polisher::defaultInstructions, model).polish(input), input);
  }
  {
    auto model = std::make_shared<testing::FakeLanguageModel>();
    model->response = "x";
    EXPECT_EQ(Polisher(Polisher::defaultInstructions, model).polish(""), "");
    EXPECT_TRUE(model->sessions.empty());
  }
  EXPECT_EQ(Polisher().polish(input), input);  // the platform's model: none on Linux
}

}  // namespace
}  // namespace parlet
