#include "Tokenizers/Decoder.h"

#include "Hub/Config.h"
#include "Tokenizers/ByteEncoder.h"
#include "Tokenizers/TokenizerError.h"
#include "Tokenizers/detail/Text.h"
#include "platform/Text/Unicode.h"

namespace tokenizers {

namespace text = platform::text;

namespace detail {

std::string repairedUtf8(std::string_view bytes) {
  static const std::string kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  while (i < n) {
    unsigned char c = at(i);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // The well-formed ranges of the second byte (Unicode Table 3-7); later bytes are 80..BF.
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c == 0xE0) {
      need = 2, lo = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
      need = 2;
    } else if (c == 0xED) {
      need = 2, hi = 0x9F;
    } else if (c == 0xF0) {
      need = 3, lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
      need = 3;
    } else if (c == 0xF4) {
      need = 3, hi = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= need; ++k) {
      if (i + k >= n) break;
      unsigned char b = at(i + k);
      unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (b < l || b > h) break;
    }
    if (k == need + 1) {
      out.append(bytes.substr(i, need + 1));
    } else {
      out += kReplacement;  // one replacement per maximal subpart
    }
    i += k;
  }
  return out;
}

}  // namespace detail

// ---- Factory ---------------------------------------------------------------------------------

std::unique_ptr<Decoder> DecoderFactory::fromConfig(const hub::Config& config,
                                                    const std::unordered_set<std::string>* addedTokens) {
  auto type = config["type"].string();
  if (!type) return nullptr;
  const std::string& name = *type;
  if (name == "Sequence") return std::make_unique<DecoderSequence>(config);
  if (name == "WordPiece") return std::make_unique<WordPieceDecoder>(config);
  if (name == "ByteLevel")
    return std::make_unique<ByteLevelDecoder>(config, addedTokens ? *addedTokens : std::unordered_set<std::string>{});
  if (name == "Replace") return std::make_unique<ReplaceDecoder>(config);
  if (name == "ByteFallback") return std::make_unique<ByteFallbackDecoder>(config);
  if (name == "Fuse") return std::make_unique<FuseDecoder>(config);
  if (name == "Strip") return std::make_unique<StripDecoder>(config);
  if (name == "Metaspace") return std::make_unique<MetaspaceDecoder>(config);
  throw StageConfigurationError("Unsupported Decoder type: " + name);
}

// ---- Decoders ----------------------------------------------------------------------------------

DecoderSequence::DecoderSequence(const hub::Config& config) {
  const auto* elements = config["decoders"].array();
  if (!elements) throw StageConfigurationError("No decoders in Sequence");
  for (const auto& element : *elements)
    if (auto d = DecoderFactory::fromConfig(element)) decoders_.push_back(std::move(d));
}

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
  std::vector<std::string> out = tokens;
  for (const auto& d : decoders_) out = d->decode(out);
  return out;
}

ByteLevelDecoder::ByteLevelDecoder(const hub::Config&, std::unordered_set<std::string> addedTokens)
    : addedTokens_(std::move(addedTokens)) {}

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
  std::vector<std::string> out;
  std::string bytes;
  bool inRun = false;
  auto flush = [&] {
    if (!inRun) return;
    out.push_back(detail::repairedUtf8(bytes));
    bytes.clear();
    inRun = false;
  };
  for (const auto& token : tokens) {
    if (addedTokens_.count(token)) {
      flush();
      out.push_back(token);
      continue;
    }
    inRun = true;
    // A character outside the table has no byte; its own UTF-8 bytes stand for it.
    std::size_t offset = 0;
    while (offset < token.size()) {
      std::size_t begin = offset;
      unsigned char lead = static_cast<unsigned char>(token[offset]);
      char32_t scalar;
      if (lead < 0x80) {
        scalar = lead;
        ++offset;
      } else {
        scalar = text::nextScalar(token, offset);
      }
      int byte = detail::byteForScalar(scalar);
      if (byte >= 0) {
        bytes.push_back(static_cast<char>(byte));
      } else {
        bytes.append(token, begin, offset - begin);
      }
    }
  }
  flush();
  return out;
}

WordPieceDecoder::WordPieceDecoder(const hub::Config& config)
    : cleanup_(config["cleanup"].boolean(false)), re_("\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)") {
  auto prefix = config["prefix"].string();
  if (!prefix) throw StageConfigurationError("Missing `prefix` configuration for WordPieceDecoder.");
  prefix_ = *prefix;
}

std::string WordPieceDecoder::cleaned(std::string t) const {
  if (!cleanup_) return t;
  return detail::replaceAll(re_.replace(t, "$1"), " do not", " don't");
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
  std::vector<std::string> out;
  out.reserve(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (i == 0) {
      out.push_back(cleaned(token));
    } else if (token.compare(0, prefix_.size(), prefix_) == 0) {
      out.push_back(cleaned(token.substr(prefix_.size())));
    } else {
      out.push_back(cleaned(" " + token));
    }
  }
  return out;
}

ReplaceDecoder::ReplaceDecoder(const hub::Config& config) : pattern_(StringReplacePattern::from(config)) {}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
  if (!pattern_) return tokens;
  std::vector<std::string> out;
  out.reserve(tokens.size());
  for (const auto& token : tokens) out.push_back(pattern_->apply(token));
  return out;
}

namespace {

// "<0x41>" => 0x41; "<0x+A>" => 0x0A; anything else (also a negative middle) is no byte token.
std::optional<unsigned char> byteToken(const std::string& token) {
  if (token.size() != 6 || token.compare(0, 3, "<0x") != 0 || token[5] != '>') return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  char a = token[3], b = token[4];
  int low = hex(b);
  if (low < 0) return std::nullopt;
  if (a == '+') return static_cast<unsigned char>(low);
  int high = hex(a);
  if (high < 0) return std::nullopt;
  return static_cast<unsigned char>(high * 16 + low);
}

}  // namespace

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
  std::vector<std::string> out;
  std::string pending;
  auto flush = [&] {
    if (pending.empty()) return;
    out.push_back(detail::repairedUtf8(pending));
    pending.clear();
  };
  for (const auto& token : tokens) {
    if (auto byte = byteToken(token)) {
      pending.push_back(static_cast<char>(*byte));
      continue;
    }
    flush();
    out.push_back(token);
  }
  flush();
  return out;
}

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const {
  std::string joined;
  for (const auto& token : tokens) joined += token;
  return {joined};
}

StripDecoder::StripDecoder(const hub::Config& config) {
  auto content = config["content"].string();
  if (!content) throw StageConfigurationError("Incorrect StripDecoder configuration: can't parse `content`.");
  auto start = config["start"].integer();
  if (!start) throw StageConfigurationError("Incorrect StripDecoder configuration: can't parse `start`.");
  auto stop = config["stop"].integer();
  if (!stop) throw StageConfigurationError("Incorrect StripDecoder configuration: can't parse `stop`.");
  content_ = *content;
  start_ = *start;
  stop_ = *stop;
}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
  std::vector<std::string> out;
  out.reserve(tokens.size());
  for (const auto& token : tokens) {
    std::string_view t = token;
    if (!content_.empty()) {
      for (std::int64_t k = 0; k < start_ && t.substr(0, content_.size()) == content_; ++k) t.remove_prefix(content_.size());
      for (std::int64_t k = 0; k < stop_ && t.size() >= content_.size() &&
                               t.substr(t.size() - content_.size()) == content_;
           ++k)
        t.remove_suffix(content_.size());
    }
    out.emplace_back(t);
  }
  return out;
}

MetaspaceDecoder::MetaspaceDecoder(const hub::Config& config)
    : addPrefixSpace_(config["addPrefixSpace"].boolean(false)), replacement_(config["replacement"].string("_")) {}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
  std::vector<std::string> out;
  out.reserve(tokens.size());
  for (const auto& token : tokens) out.push_back(detail::replaceAll(token, replacement_, " "));
  if (addPrefixSpace_ && !out.empty() && !out.front().empty() && out.front().front() == ' ') out.front().erase(0, 1);
  return out;
}

}  // namespace tokenizers
