// The JSON reader under every tree builder (platform::json::parse, Hub's Config): one document in,
// a stream of events out, so that each builder keeps its own tree and rules. Numbers are converted
// from their own text: integers within 64 bits exactly, every other number to the nearest double
// (infinity or zero beyond the double range). NaN, Inf and Infinity are read (in any case when
// asked); texts come out as well-formed UTF-8 (a lone surrogate, escaped or not, is an error);
// nesting is capped. Stateless and thread-safe; a failure is returned, not thrown.
//   if (auto failure = readJson(text, builder, {.maxDepth = 512})) report(failure->offset);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::json {

// A number as the document spells it.
struct Number {
  enum class Kind { integer, unsignedInteger, real };
  Kind kind = Kind::integer;
  std::int64_t integer = 0;           // kind integer: within the int64 range
  std::uint64_t unsignedInteger = 0;  // kind unsignedInteger: above int64, within uint64
  double real = 0;                    // kind real: any other number, inf and nan included
};

// What a builder receives, in document order. Texts are valid only during the call.
class ReadEvents {
 public:
  virtual ~ReadEvents() = default;
  // Forget everything received: the document is read again from its start.
  virtual void restart() = 0;
  virtual void null() = 0;
  virtual void boolean(bool value) = 0;
  virtual void number(const Number& value) = 0;
  virtual void string(std::string_view text) = 0;
  virtual void key(std::string_view text) = 0;  // precedes the member's value
  virtual void startObject() = 0;
  virtual void endObject(std::size_t memberCount) = 0;
  virtual void startArray() = 0;
  virtual void endArray(std::size_t elementCount) = 0;
};

struct ReadOptions {
  std::size_t maxDepth = 512;    // arrays and objects open at once; one more is an error
  bool anyCaseLiterals = false;  // also "nan", "inf", "-INFINITY", not only NaN, Inf and Infinity
};

struct ReadFailure {
  unsigned code = 0;    // the reader's error code (RapidJSON's numbering)
  std::string message;  // "Invalid value."
  std::size_t offset = 0;  // byte offset into the text where reading stopped
};

// Reads `text` as one JSON document (white space around it allowed, nothing else).
// Returns nothing on success; on failure the events received so far are incomplete.
std::optional<ReadFailure> readJson(std::string_view text, ReadEvents& events, const ReadOptions& options = {});

}  // namespace platform::json
