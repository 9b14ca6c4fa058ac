// Cuts a text at its added tokens the way the alternation "(<abc>)\s*|\s*(<a>)|..." of them would,
// without a regular expression: at each position from the left the alternatives are tried in
// their order, "\s*" before a token with lstrip (greedy, giving back white space when the content
// itself begins with some) and after one with rstrip absorbing white space (the White_Space
// property), and each match leaves the token alone as a section. The contents live in one
// compressed trie, so building takes time and memory linear in their bytes however many or long
// they are; splitting walks the trie from each position (honouring the thread's RegexTimeBudget).
// Empty contents never match. Immutable after construction; thread-safe.
//   ["<a>" rstrip, "<b>" lstrip]: "x<a>  y <b>z" => ["x", "<a>", "y", "<b>", "z"]
#pragma once

#include <array>
#include <cstdint>
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
  explicit AddedTokenSplitter(const std::vector<Alternative>& alternatives);

  // True when no alternative can match (none, or all empty).
  bool empty() const { return alternatives_.empty(); }

  // The sections: text between matches (when not empty) and each matched token; the whole text
  // as the one section when nothing matches.
  std::vector<std::string_view> split(std::string_view text) const;

  // The alternation this split follows, contents escaped: "(<abc>)\s*|\s*(<a>)".
  std::string pattern() const;

 private:
  struct Span {
    std::size_t begin = 0;  // into contents_
    std::size_t length = 0;
  };
  struct Entry {
    Span content;
    bool lstrip = false;
    bool rstrip = false;
  };
  struct Node {
    Span label;                                                 // the bytes of the edge into this node
    std::vector<std::pair<unsigned char, std::uint32_t>> children;  // by first byte of their label
    std::int32_t first = -1;        // the earliest alternative whose content ends here
    std::int32_t firstLstrip = -1;  // the same among alternatives with lstrip
  };
  struct Found {
    std::int32_t alternative = -1;
    std::size_t end = 0;  // end of the content
  };
  // The best candidate of a position inside a white-space run: its alternative and where its
  // content begins.
  struct Candidate {
    std::int32_t alternative = -1;
    std::size_t contentBegin = 0;
  };

  void insert(std::int32_t order);
  std::uint32_t child(std::uint32_t node, unsigned char byte) const;
  void setChild(std::uint32_t node, unsigned char byte, std::uint32_t child);
  std::string_view label(const Node& node) const { return {contents_.data() + node.label.begin, node.label.length}; }
  // The earliest alternative whose content begins at `at` (among lstrip ones only when asked).
  // `work` counts compared bytes, for the time budget.
  Found earliestAt(std::string_view text, std::size_t at, bool lstripOnly, std::size_t& work) const;
  // The matches that may begin inside the white-space run [begin, runEnd): for each scalar
  // boundary b of it, the winner of the alternation at b. Fills boundaries and winners.
  void runCandidates(std::string_view text, std::size_t begin, std::size_t runEnd, std::size_t& work,
                     std::vector<std::size_t>& boundaries, std::vector<Candidate>& winners) const;

  std::string contents_;  // every content, one after another
  std::vector<Entry> alternatives_;
  std::vector<Node> nodes_;                         // node 0 is the root
  std::array<std::uint32_t, 256> rootChildren_{};   // 0: none
  std::array<bool, 256> passes_{};  // an ASCII byte that neither begins a content nor is white space
  bool anyLstrip_ = false;
  bool anyLeadingWhitespace_ = false;  // a content that begins with white space
};

}  // namespace tokenizers::detail
