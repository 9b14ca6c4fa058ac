// A compiled regular expression in ICU syntax (\p{L}, \uXXXX, lookaround, possessive and lazy
// quantifiers), matched over UTF-8 texts. All offsets are UTF-8 byte offsets into the text given;
// returned views point into that text. Compiling a bad pattern throws RegexError; a text that is
// not well-formed UTF-8 throws InvalidUtf8Error. A Regex is immutable after construction and may
// be used from several threads at once; copies share the compiled pattern. A search that exceeds
// its time limit, or runs past the deadline of a RegexTimeBudget on its thread, throws RegexTimeout.
//   Regex("\\s+").split("a  b", false) == {"a", "b"}
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

// A pattern that does not compile; says which pattern, why and where (UTF-16 offset in the pattern).
class RegexError : public std::runtime_error {
 public:
  RegexError(const std::string& message, std::string pattern, int offset)
      : std::runtime_error(message), pattern(std::move(pattern)), offset(offset) {}
  std::string pattern;
  int offset;  // -1 when ICU gives no position
};

// A half-open range [begin, end) of UTF-8 byte offsets.
struct ByteRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
  bool empty() const { return begin == end; }
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// How the separator matches of a split join the pieces.
enum class SplitBehavior {
  removed,             // "a-b" => ["a", "b"]
  isolated,            // "a-b" => ["a", "-", "b"]
  mergedWithPrevious,  // "a-b" => ["a-", "b"]
  mergedWithNext,      // "a-b" => ["a", "-b"]
};

struct RegexOptions {
  bool caseInsensitive = false;           // off: exact case
  bool dotMatchesLineSeparators = false;  // off: "." stops at line ends
  bool anchorsMatchLines = false;         // off: "^" and "$" only at the text's ends
  bool ignoreMetacharacters = false;      // off: the pattern is a regular expression, not a literal
  bool allowCommentsAndWhitespace = false;
  // Work allowed for one search, in engine steps of roughly a millisecond each; a search that
  // needs more (catastrophic backtracking in a pattern from a file) throws RegexTimeout. 0: none.
  int timeLimit = 10000;
};

// A search that ran out of its time limit or of the calling thread's time budget.
class RegexTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A deadline shared by every search on the calling thread while the object lives, however many
// searches there are: a search running at the deadline, or starting after it, throws RegexTimeout.
// Budgets nest; an inner budget never moves the deadline later. Not shared with other threads.
//   { RegexTimeBudget budget(std::chrono::seconds(10)); tokenizer.encode(text); }
class RegexTimeBudget {
 public:
  explicit RegexTimeBudget(std::chrono::steady_clock::duration budget);
  ~RegexTimeBudget();
  // For searches done without the engine: throws RegexTimeout naming `search` when this thread's
  // budget has run out.
  static void require(std::string_view search);
  RegexTimeBudget(const RegexTimeBudget&) = delete;
  RegexTimeBudget& operator=(const RegexTimeBudget&) = delete;

 private:
  std::optional<std::chrono::steady_clock::time_point> previous_;
};

class Regex {
 public:
  using Options = RegexOptions;

  // One match: groups[0] is the whole match; an absent group did not take part.
  struct Match {
    ByteRange range;
    std::vector<std::optional<ByteRange>> groups;
  };

  explicit Regex(std::string_view pattern, Options options = {});

  const std::string& pattern() const { return pattern_; }
  std::size_t captureGroupCount() const;

  // Every match over the whole text, scanning on from each match's end (one scalar on after an
  // empty match): the engine's own iteration.
  std::vector<Match> matches(std::string_view text) const;
  std::optional<Match> firstMatch(std::string_view text) const;
  bool containsMatch(std::string_view text) const { return firstMatch(text).has_value(); }

  // The range search: each search covers [start, end of text) as its own region (so "^" matches
  // at the start of the region); it restarts at the previous match's end, or one grapheme cluster
  // past the start of an empty match.
  std::vector<ByteRange> ranges(std::string_view text) const;
  // The matched texts of `ranges`.
  std::vector<std::string_view> matchedTexts(std::string_view text) const;

  // Separator split over `ranges`; never yields empty pieces.
  //   Regex("-").split("a-b-", true) => ["a", "-", "b", "-"]
  std::vector<std::string_view> split(std::string_view text, bool includeSeparators) const;
  std::vector<std::string_view> split(std::string_view text, SplitBehavior behavior) const;

  // Cuts the text at every match, keeping the highest-numbered capture group that took part (the
  // whole match when none did) and dropping the rest of the match:
  //   Regex("\\s*(<tok>)\\s*").splitKeepingCaptureGroups("a <tok> b") => ["a", "<tok>", "b"]
  // No match gives the whole text as the one piece.
  std::vector<std::string_view> splitKeepingCaptureGroups(std::string_view text) const;

  // Replaces every match by the template: "$n" is capture group n (as many digits as the group
  // count has; a group that is absent or did not take part is empty), "\x" is x taken literally.
  //   Regex("(\\d+)").replace("a12", "<$1>") == "a<12>"
  std::string replace(std::string_view text, std::string_view replacementTemplate) const;
  // The same, or nothing once the result would be longer than maxBytes (it is never built past that).
  std::optional<std::string> replace(std::string_view text, std::string_view replacementTemplate,
                                     std::size_t maxBytes) const;

  // The literal text as a pattern that matches exactly it.
  static std::string escapedPattern(std::string_view literal);

  struct Compiled;  // the compiled pattern and its pool of matchers; defined in the source

 private:
  std::string pattern_;
  std::shared_ptr<const Compiled> compiled_;
};

}  // namespace platform::text
