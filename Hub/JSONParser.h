// JSON documents into Config trees: the one way repository files ("config.json",
// "tokenizer.json") become configuration, read by platform/System's JsonReader. The whole input
// must be one JSON value (inf and nan literals admitted, in any case; comments, trailing commas
// and trailing content are errors). Integers within 64 signed bits stay integers, every other
// number becomes the nearest 32-bit float; a repeated key keeps its last value; texts keep every
// character, escaped NULs included, and must be well-formed UTF-8 (no lone surrogates). The tree
// may take at most 20 times the document's bytes of memory (at least 64 MiB): a document of
// millions of tiny values is refused with TreeTooLargeError before it exhausts memory.
// Stateless and thread-safe; every other failure throws JSONParser::ParseError, no partial tree.
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

  // "The document would take more than 64 MiB of memory as a configuration tree (the bound is 20
  // times its size, and at least 64 MiB); it is not read"
  class TreeTooLargeError : public std::runtime_error {
   public:
    explicit TreeTooLargeError(std::size_t limitBytes);
    std::size_t limitBytes;
  };

  // Nesting deeper than this is rejected rather than risking the stack of later tree walks.
  static constexpr std::size_t kMaxDepth = 1000;
  // The memory bound of the tree: this many times the document's bytes, and at least kMinTreeBytes.
  static constexpr std::size_t kTreeBytesPerDocumentByte = 20;
  static constexpr std::size_t kMinTreeBytes = std::size_t(64) << 20;

  static Config parseToConfig(std::string_view bytes);
};

}  // namespace hub
