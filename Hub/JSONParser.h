// JSON documents into Config trees: the one way repository files ("config.json",
// "tokenizer.json") become configuration, read by platform/System's JsonReader. The whole input
// must be one JSON value (inf and nan literals admitted, in any case; comments, trailing commas
// and trailing content are errors). Integers within 64 signed bits stay integers, every other
// number becomes the nearest 32-bit float; a repeated key keeps its last value; texts keep every
// character, escaped NULs included, and must be well-formed UTF-8 (no lone surrogates).
// Stateless and thread-safe; every failure throws JSONParser::ParseError, no partial tree.
//   Config c = JSONParser::parseToConfig(R"({"model_type": "whisper"})");
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Hub/Config.h"

namespace hub {

class JSONParser {
 public:
  class ParseError : public std::runtime_error {
   public:
    enum class Kind { readFailed, nullDocument };
    // "JSON read failed (code 3) at position 7: Invalid value."
    ParseError(std::uint32_t code, std::string message, std::int64_t position);
    // "JSON reader returned null document"
    ParseError();

    Kind kind;
    std::uint32_t code = 0;    // the reader's error code; 0 for errors found before reading
    std::string message;       // the reader's message
    std::int64_t position = 0; // byte offset into the input
  };

  // Nesting deeper than this is rejected rather than risking the stack of later tree walks.
  static constexpr std::size_t kMaxDepth = 1000;

  static Config parseToConfig(std::string_view bytes);
};

}  // namespace hub
