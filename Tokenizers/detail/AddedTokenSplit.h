// Cuts a text at its added tokens the way the tokenizer's alternation of them does, without the
// regular-expression engine: at each position from the left the alternatives are tried in their
// order, "\s*" before a token with lstrip and after one with rstrip absorbing white space (the
// White_Space property), and each match leaves the token alone as a section. Serves only when no
// content is empty or begins with white space, where the absorbed run could end inside a token;
// `make` gives nothing then. Time is linear in the text (times the longest content). Immutable
// after construction; thread-safe.
//   ["<a>" rstrip, "<b>" lstrip]: "x<a>  y <b>z" => ["x", "<a>", "y", "<b>", "z"]
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tokenizers::detail {

class AddedTokenSplitter {
 public:
  struct Alternative {
    std::string content;
    bool lstrip = false;
    bool rstrip = false;
  };

  // Alternatives in the order of the alternation.
  static std::optional<AddedTokenSplitter> make(const std::vector<Alternative>& alternatives);

  // The sections: text between matches (when not empty) and each matched token; the whole text
  // as the one section when nothing matches.
  std::vector<std::string_view> split(std::string_view text) const;

 private:
  struct Node {
    std::vector<std::pair<unsigned char, std::uint32_t>> children;  // sorted by byte
    std::int32_t first = -1;        // the earliest alternative whose content ends here
    std::int32_t firstLstrip = -1;  // the same among alternatives with lstrip
  };
  struct Found {
    std::int32_t alternative = -1;
    std::size_t end = 0;  // end of the content
  };

  AddedTokenSplitter() = default;
  std::uint32_t child(std::uint32_t node, unsigned char byte) const;
  // The earliest alternative whose content begins at `at` (among lstrip ones only when asked).
  Found earliestAt(std::string_view text, std::size_t at, bool lstripOnly) const;

  std::vector<Node> nodes_;
  std::array<std::uint32_t, 256> rootChildren_{};  // 0: none (node 0 is the root)
  std::vector<Alternative> alternatives_;
  bool anyLstrip_ = false;
};

}  // namespace tokenizers::detail
