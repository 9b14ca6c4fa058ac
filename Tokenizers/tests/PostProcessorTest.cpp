#include <gtest/gtest.h>

#include "Tokenizers/PostProcessor.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;
using Tokens = std::vector<std::string>;

constexpr const char* kTemplate = R"({"type": "TemplateProcessing",
  "single": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
             {"SpecialToken": {"id": "[SEP]", "type_id": 0}}],
  "pair": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
           {"SpecialToken": {"id": "[SEP]", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}},
           {"SpecialToken": {"id": "[SEP]", "type_id": 1}}]})";

TEST(PostProcessorTest, ProcessesByKind) {
  const Tokens xy{"x", "y"}, z{"z"}, none{};
  const struct {
    const char* config;
    const Tokens* pair;
    bool add;
    Tokens expected;
  } cases[] = {
      {kTemplate, nullptr, true, {"[CLS]", "x", "y", "[SEP]"}},
      {kTemplate, nullptr, false, {"x", "y"}},
      {kTemplate, &z, true, {"[CLS]", "x", "y", "[SEP]", "z", "[SEP]"}},
      {R"({"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": "<s>"}}], "pair": []})", nullptr, true, {"<s>"}},
      {R"({"type": "ByteLevel"})", &z, true, {"x", "y"}},
      {R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})", nullptr, true, {"[CLS]", "x", "y", "[SEP]"}},
      {R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})", &none, true, {"[CLS]", "x", "y", "[SEP]"}},
      {R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})", &z, true, {"[CLS]", "x", "y", "[SEP]", "z", "[SEP]"}},
      {R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})", &z, false, {"x", "y", "z"}},
      {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})", nullptr, false, {"x", "y"}},
      {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})", &z, false, {"x", "y", "z"}},
      {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})", &z, true, {"<s>", "x", "y", "</s>", "</s>", "z", "</s>"}},
      {R"({"type": "Sequence", "processors": [{"type": "ByteLevel"}, )" "\n"
       R"({"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": "<s>"}}, {"Sequence": {"id": "A"}}], "pair": []}]})",
       nullptr, true, {"<s>", "x", "y"}},
      {R"({"type": "Sequence", "processors": []})", &z, true, {"x", "y"}},
      // The tokens are taken whole, moved after a special token, and copied while "A" comes again.
      {R"({"type": "TemplateProcessing", "single": [{"Sequence": {"id": "A"}}, {"SpecialToken": {"id": "</s>"}}], "pair": []})",
       nullptr, true, {"x", "y", "</s>"}},
      {R"({"type": "TemplateProcessing", "single": [{"Sequence": {"id": "A"}}, {"Sequence": {"id": "A"}},
          {"SpecialToken": {"id": "</s>"}}, {"Sequence": {"id": "A"}}], "pair": []})",
       nullptr, true, {"x", "y", "x", "y", "</s>", "x", "y"}},
  };
  for (const auto& c : cases) {
    auto p = PostProcessorFactory::fromConfig(json(c.config));
    ASSERT_NE(p, nullptr) << c.config;
    EXPECT_EQ(p->postProcess(xy, c.pair, c.add), c.expected) << c.config;
  }
}

TEST(PostProcessorTest, RobertaTrimsWhitespace) {
  const Tokens tokens{"   a", "b  ", " ", "  ", "c"};
  auto keepOne = PostProcessorFactory::fromConfig(json(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})"));
  EXPECT_EQ(keepOne->postProcess(tokens, nullptr, true), (Tokens{"<s>", " a", "b ", " ", "", "c", "</s>"}));
  auto all = PostProcessorFactory::fromConfig(
      json(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0], "add_prefix_space": false})"));
  EXPECT_EQ(all->postProcess(tokens, nullptr, true), (Tokens{"<s>", "a", "b", "", "", "c", "</s>"}));
  // The plain trim takes blanks (Zs and tab), not line breaks.
  EXPECT_EQ(all->postProcess({"\na\n", "\t b\u3000\u00A0", "\r\n"}, nullptr, true),
            (Tokens{"<s>", "\na\n", "b", "\r\n", "</s>"}));
  auto untouched = PostProcessorFactory::fromConfig(
      json(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0], "trim_offsets": false})"));
  EXPECT_EQ(untouched->postProcess(tokens, nullptr, true), (Tokens{"<s>", "   a", "b  ", " ", "  ", "c", "</s>"}));
}

TEST(PostProcessorTest, FactoryGivesNothingOrRejects) {
  EXPECT_EQ(PostProcessorFactory::fromConfig(hub::Config()), nullptr);
  EXPECT_EQ(PostProcessorFactory::fromConfig(json(R"({"single": []})")), nullptr);
  const struct {
    const char* config;
    const char* message;
  } rejected[] = {
      {R"({"type": "Bogus"})", "Unsupported PostProcessor type: Bogus"},
      {R"({"type": "Sequence", "processors": [{"type": "Bogus"}]})", "Unsupported PostProcessor type: Bogus"},
      {R"({"type": "TemplateProcessing", "pair": []})", "Missing `single` processor configuration"},
      {R"({"type": "TemplateProcessing", "single": []})", "Missing `pair` processor configuration"},
      {R"({"type": "BertProcessing", "cls": ["[CLS]", 101]})", "Missing `sep` processor configuration"},
      {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", -1]})", "Missing `cls` processor configuration"},
      {R"({"type": "Sequence"})", "Missing `processors` configuration"},
  };
  for (const auto& r : rejected) {
    try {
      PostProcessorFactory::fromConfig(json(r.config));
      ADD_FAILURE() << "accepted " << r.config;
    } catch (const StageConfigurationError& e) {
      EXPECT_STREQ(e.what(), r.message);
    }
  }
}

}  // namespace
}  // namespace tokenizers
