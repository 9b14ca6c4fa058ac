// Decoders turn the token texts of a decode request back into text pieces, which the front end
// joins with no separator. DecoderFactory::fromConfig builds one from the "decoder" object of
// "tokenizer.json" by its "type"; nullptr for a null configuration or one without a string
// "type"; StageConfigurationError for one it cannot build. Immutable; usable from several threads.
//   ByteLevel: ["Hello", "Ġworld"] => ["Hello world"];  WordPiece: ["un", "##aff"] => ["un", "aff"]
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Tokenizers/Normalizer.h"
#include "platform/Text/Regex.h"

namespace hub {
class Config;
}

namespace tokenizers {

class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
  std::vector<std::string> operator()(const std::vector<std::string>& tokens) const { return decode(tokens); }
};

struct DecoderFactory {
  // `addedTokens` reaches a top-level byte-level decoder only; decoders nested in a Sequence get none.
  static std::unique_ptr<Decoder> fromConfig(const hub::Config& config,
                                             const std::unordered_set<std::string>* addedTokens = nullptr);
};

class DecoderSequence : public Decoder {
 public:
  explicit DecoderSequence(const hub::Config& config);
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

 private:
  std::vector<std::unique_ptr<Decoder>> decoders_;
};

// Runs of byte-level tokens become their bytes read as UTF-8 (ill-formed parts as U+FFFD); added
// tokens pass unchanged: ["Hi", "<|endoftext|>", "Ġthere"] => ["Hi", "<|endoftext|>", " there"].
class ByteLevelDecoder : public Decoder {
 public:
  explicit ByteLevelDecoder(const hub::Config& config) : ByteLevelDecoder(config, {}) {}
  ByteLevelDecoder(const hub::Config& config, std::unordered_set<std::string> addedTokens);
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

 private:
  std::unordered_set<std::string> addedTokens_;
};

// ["hello", "world"] => ["hello", " world"]; cleanup removes blanks before punctuation.
class WordPieceDecoder : public Decoder {
 public:
  explicit WordPieceDecoder(const hub::Config& config);
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

 private:
  std::string cleaned(std::string text) const;
  std::string prefix_;
  bool cleanup_ = false;
  platform::text::Regex re_;
};

class ReplaceDecoder : public Decoder {
 public:
  explicit ReplaceDecoder(const hub::Config& config);
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

 private:
  std::optional<StringReplacePattern> pattern_;
};

// ["<0xE2>", "<0x96>", "<0x81>"] => ["▁"]; an unpaired "<0xE2>" => ["\uFFFD"].
class ByteFallbackDecoder : public Decoder {
 public:
  ByteFallbackDecoder() = default;
  explicit ByteFallbackDecoder(const hub::Config&) {}
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

// ["a", "b", "c"] => ["abc"]
class FuseDecoder : public Decoder {
 public:
  FuseDecoder() = default;
  explicit FuseDecoder(const hub::Config&) {}
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

// Up to `start` leading and `stop` trailing copies of `content` removed from every token:
// start 1: " hello" => "hello", "  hello" => " hello".
class StripDecoder : public Decoder {
 public:
  explicit StripDecoder(const hub::Config& config);
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

 private:
  std::string content_;
  std::int64_t start_ = 0;
  std::int64_t stop_ = 0;
};

// ["▁Hey", "▁friend"] => ["Hey", " friend"] with addPrefixSpace.
class MetaspaceDecoder : public Decoder {
 public:
  explicit MetaspaceDecoder(const hub::Config& config);
  std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

 private:
  bool addPrefixSpace_ = false;
  std::string replacement_ = "_";
};

namespace detail {
// Bytes read as UTF-8, every maximal ill-formed subpart replaced by U+FFFD.
std::string repairedUtf8(std::string_view bytes);
}  // namespace detail

}  // namespace tokenizers
