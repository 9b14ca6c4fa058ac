#include <gtest/gtest.h>

#include "Tokenizers/Decoder.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/tests/TokenizerTestSupport.h"

namespace tokenizers {
namespace {

using testing::json;
using Tokens = std::vector<std::string>;

TEST(DecoderTest, DecodesByKind) {
  const struct {
    const char* config;
    Tokens tokens;
    Tokens expected;
  } cases[] = {
      {R"({"type": "ByteLevel"})", {"Hello", "\u0120world"}, {"Hello world"}},
      {R"({"type": "ByteLevel"})", {"\u00C3", "\u00A9"}, {"\u00E9"}},  // é split across two tokens
      {R"({"type": "ByteLevel"})", {"\u00C3"}, {"\uFFFD"}},
      {R"({"type": "ByteLevel"})", {}, {}},
      {R"({"type": "WordPiece", "prefix": "##"})", {"un", "##aff", "##able"}, {"un", "aff", "able"}},
      {R"({"type": "WordPiece", "prefix": "##"})", {"hello", "world"}, {"hello", " world"}},
      {R"({"type": "WordPiece", "prefix": ""})", {"a", "b"}, {"a", "b"}},
      {R"({"type": "WordPiece", "prefix": "##", "cleanup": true})", {"hi", ",", "I do not"}, {"hi", ",", " I don't"}},
      {R"({"type": "WordPiece", "prefix": "##"})", {}, {}},
      {R"({"type": "ByteFallback"})", {"a", "<0x41>", "b"}, {"a", "A", "b"}},
      {R"({"type": "ByteFallback"})", {"<0xE2>", "<0x96>", "<0x81>"}, {"▁"}},
      {R"({"type": "ByteFallback"})", {"<0xE2>", "x"}, {"\uFFFD", "x"}},
      {R"({"type": "ByteFallback"})", {"<0xZZ>", "<0x4>", "<0x+A>", "<0x-1>"}, {"<0xZZ>", "<0x4>", "\n", "<0x-1>"}},
      {R"({"type": "ByteFallback"})", {"x", "<0x41>"}, {"x", "A"}},
      {R"({"type": "Fuse"})", {"a", "b", "c"}, {"abc"}},
      {R"({"type": "Fuse"})", {}, {""}},
      {R"({"type": "Strip", "content": " ", "start": 1, "stop": 0})", {" hello", "  hello", "hello "}, {"hello", " hello", "hello "}},
      {R"({"type": "Strip", "content": " ", "start": 0, "stop": 2})", {"a   ", "a"}, {"a ", "a"}},
      {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true})", {"▁Hey", "▁friend"}, {"Hey", " friend"}},
      {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": false})", {"▁Hey", "▁friend"}, {" Hey", " friend"}},
      {R"({"type": "Metaspace"})", {"_a▁b"}, {" a▁b"}},
      {R"({"type": "Replace", "pattern": {"String": "▁"}, "content": " "})", {"▁Hey"}, {" Hey"}},
      {R"j({"type": "Replace", "pattern": {"Regex": "(\\d)"}, "content": "[$1]"})j", {"a1", "2"}, {"a[1]", "[2]"}},
      {R"({"type": "Sequence", "decoders": [{"type": "Replace", "pattern": {"String": "▁"}, "content": " "},
          {"type": "ByteFallback"}, {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]})",
       {"▁Hi", "<0x21>", "▁", "<0xF0>", "<0x9F>", "<0x98>", "<0x80>"}, {"Hi! 😀"}},
  };
  for (const auto& c : cases) {
    auto d = DecoderFactory::fromConfig(json(c.config));
    ASSERT_NE(d, nullptr) << c.config;
    EXPECT_EQ(d->decode(c.tokens), c.expected) << c.config;
  }
}

TEST(DecoderTest, ByteLevelKeepsAddedTokensOnlyAtTopLevel) {
  const std::unordered_set<std::string> added{"<|endoftext|>"};
  auto top = DecoderFactory::fromConfig(json(R"({"type": "ByteLevel"})"), &added);
  EXPECT_EQ(top->decode({"Hi", "<|endoftext|>", "\u0120there"}), (Tokens{"Hi", "<|endoftext|>", " there"}));
  // Nested in a Sequence, the added tokens are not known and go through the byte table: "|" is
  // itself, "<" and ">" too, so only the table's own characters change.
  auto nested = DecoderFactory::fromConfig(json(R"({"type": "Sequence", "decoders": [{"type": "ByteLevel"}]})"), &added);
  EXPECT_EQ(nested->decode({"Hi", "<|\u0120|>"}), (Tokens{"Hi<| |>"}));
}

TEST(DecoderTest, FactoryGivesNothingOrRejectsInKeyOrder) {
  EXPECT_EQ(DecoderFactory::fromConfig(hub::Config()), nullptr);
  EXPECT_EQ(DecoderFactory::fromConfig(json(R"({"prefix": "##"})")), nullptr);
  const struct {
    const char* config;
    const char* message;
  } rejected[] = {
      {R"({"type": "CTC"})", "Unsupported Decoder type: CTC"},
      {R"({"type": "Sequence"})", "No decoders in Sequence"},
      {R"({"type": "WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
      {R"({"type": "Strip", "start": "x"})", "Incorrect StripDecoder configuration: can't parse `content`."},
      {R"({"type": "Strip", "content": " ", "stop": 0})", "Incorrect StripDecoder configuration: can't parse `start`."},
      {R"({"type": "Strip", "content": " ", "start": 1, "stop": 0.5})", "Incorrect StripDecoder configuration: can't parse `stop`."},
      {R"({"type": "Replace", "pattern": {"Regex": "*"}, "content": ""})", "Cannot build regexp from *"},
  };
  for (const auto& r : rejected) {
    try {
      DecoderFactory::fromConfig(json(r.config));
      ADD_FAILURE() << "accepted " << r.config;
    } catch (const StageConfigurationError& e) {
      EXPECT_STREQ(e.what(), r.message);
    }
  }
}

}  // namespace
}  // namespace tokenizers
