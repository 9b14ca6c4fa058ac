#include "Tokenizers/detail/AddedTokenSplit.h"

#include <algorithm>

#include "platform/Text/Unicode.h"

namespace tokenizers::detail {

namespace {

namespace text = platform::text;

// The length in bytes of the scalar at `at` when it is white space, else 0.
std::size_t whitespaceAt(std::string_view s, std::size_t at) {
  const auto c = static_cast<unsigned char>(s[at]);
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) ? 1 : 0;
  std::size_t next = at;
  const char32_t scalar = text::nextScalar(s, next);
  return text::isWhitespace(scalar) ? next - at : 0;
}

std::size_t whitespaceRunEnd(std::string_view s, std::size_t at) {
  while (at < s.size()) {
    const std::size_t n = whitespaceAt(s, at);
    if (n == 0) break;
    at += n;
  }
  return at;
}

std::size_t scalarLength(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

}  // namespace

std::optional<AddedTokenSplitter> AddedTokenSplitter::make(const std::vector<Alternative>& alternatives) {
  AddedTokenSplitter splitter;
  splitter.nodes_.emplace_back();
  for (std::size_t i = 0; i < alternatives.size(); ++i) {
    const Alternative& a = alternatives[i];
    if (a.content.empty() || whitespaceAt(a.content, 0) > 0) return std::nullopt;
    std::uint32_t node = 0;
    for (char ch : a.content) {
      const auto byte = static_cast<unsigned char>(ch);
      std::uint32_t next = splitter.child(node, byte);
      if (next == 0) {
        next = static_cast<std::uint32_t>(splitter.nodes_.size());
        splitter.nodes_.emplace_back();
        auto& children = splitter.nodes_[node].children;
        children.insert(std::lower_bound(children.begin(), children.end(), std::make_pair(byte, 0u)),
                        std::make_pair(byte, next));
        if (node == 0) splitter.rootChildren_[byte] = next;
      }
      node = next;
    }
    const auto order = static_cast<std::int32_t>(i);
    Node& end = splitter.nodes_[node];
    if (end.first < 0) end.first = order;
    if (a.lstrip && end.firstLstrip < 0) end.firstLstrip = order;
    splitter.anyLstrip_ = splitter.anyLstrip_ || a.lstrip;
  }
  splitter.alternatives_ = alternatives;
  return splitter;
}

std::uint32_t AddedTokenSplitter::child(std::uint32_t node, unsigned char byte) const {
  if (node == 0) return rootChildren_[byte];
  const auto& children = nodes_[node].children;
  auto found = std::lower_bound(children.begin(), children.end(), std::make_pair(byte, 0u));
  return found != children.end() && found->first == byte ? found->second : 0;
}

AddedTokenSplitter::Found AddedTokenSplitter::earliestAt(std::string_view s, std::size_t at, bool lstripOnly) const {
  Found best;
  std::uint32_t node = 0;
  for (std::size_t i = at; i < s.size(); ++i) {
    node = child(node, static_cast<unsigned char>(s[i]));
    if (node == 0) break;
    const std::int32_t order = lstripOnly ? nodes_[node].firstLstrip : nodes_[node].first;
    if (order >= 0 && (best.alternative < 0 || order < best.alternative)) best = Found{order, i + 1};
  }
  return best;
}

std::vector<std::string_view> AddedTokenSplitter::split(std::string_view s) const {
  std::vector<std::string_view> out;
  std::size_t lastEnd = 0;
  std::size_t p = 0;
  while (p < s.size()) {
    const auto lead = static_cast<unsigned char>(s[p]);
    std::size_t matchStart = p, contentStart = p;
    Found found;
    if (const std::size_t space = whitespaceAt(s, p)) {
      // No content begins with white space: only an lstrip alternative can match here, with its
      // content right after the run; the same holds for every position of the run.
      const std::size_t runEnd = whitespaceRunEnd(s, p + space);
      if (anyLstrip_ && runEnd < s.size()) found = earliestAt(s, runEnd, true);
      if (found.alternative < 0) {
        p = runEnd;
        continue;
      }
      contentStart = runEnd;
    } else {
      if (rootChildren_[lead] != 0) found = earliestAt(s, p, false);
      if (found.alternative < 0) {
        p += scalarLength(lead);
        continue;
      }
    }
    std::size_t matchEnd = found.end;
    if (alternatives_[static_cast<std::size_t>(found.alternative)].rstrip) matchEnd = whitespaceRunEnd(s, matchEnd);
    if (matchStart > lastEnd) out.push_back(s.substr(lastEnd, matchStart - lastEnd));
    out.push_back(s.substr(contentStart, found.end - contentStart));
    lastEnd = matchEnd;
    p = matchEnd;
  }
  if (out.empty()) return {s};
  if (lastEnd < s.size()) out.push_back(s.substr(lastEnd));
  return out;
}

}  // namespace tokenizers::detail
