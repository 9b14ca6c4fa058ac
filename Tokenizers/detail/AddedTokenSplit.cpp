#include "Tokenizers/detail/AddedTokenSplit.h"

#include <algorithm>
#include <cstring>

#include "platform/Text/Regex.h"
#include "platform/Text/Unicode.h"

namespace tokenizers::detail {

namespace {

namespace text = platform::text;

// Bytes compared between two looks at the time budget.
constexpr std::size_t kWorkBetweenBudgetChecks = std::size_t(1) << 20;

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

AddedTokenSplitter::AddedTokenSplitter(const std::vector<Alternative>& alternatives) {
  std::size_t bytes = 0;
  for (const auto& a : alternatives) bytes += a.content.size();
  contents_.reserve(bytes);
  for (const auto& a : alternatives) {
    if (a.content.empty()) continue;
    alternatives_.push_back(Entry{Span{contents_.size(), a.content.size()}, a.lstrip, a.rstrip});
    contents_ += a.content;
    anyLstrip_ = anyLstrip_ || a.lstrip;
    anyLeadingWhitespace_ = anyLeadingWhitespace_ || whitespaceAt(a.content, 0) > 0;
  }
  nodes_.emplace_back();
  for (std::size_t i = 0; i < alternatives_.size(); ++i) insert(static_cast<std::int32_t>(i));
  for (int c = 0; c < 0x80; ++c) {
    const char ch = static_cast<char>(c);
    passes_[c] = rootChildren_[c] == 0 && whitespaceAt(std::string_view(&ch, 1), 0) == 0;
  }
}

// Walks the content down the trie, splitting the edge where it leaves it and hanging the rest of
// the content on a new leaf, so every byte of every content is stored once, in contents_.
void AddedTokenSplitter::insert(std::int32_t order) {
  const Entry& entry = alternatives_[static_cast<std::size_t>(order)];
  const std::string_view content(contents_.data() + entry.content.begin, entry.content.length);
  std::uint32_t node = 0;
  std::size_t at = 0;
  while (at < content.size()) {
    const auto byte = static_cast<unsigned char>(content[at]);
    const std::uint32_t next = child(node, byte);
    if (next == 0) {
      const auto leaf = static_cast<std::uint32_t>(nodes_.size());
      nodes_.emplace_back();
      nodes_[leaf].label = Span{entry.content.begin + at, content.size() - at};
      setChild(node, byte, leaf);
      node = leaf;
      break;
    }
    const std::string_view edge = label(nodes_[next]);
    const std::string_view rest = content.substr(at);
    std::size_t common = 0;
    while (common < edge.size() && common < rest.size() && edge[common] == rest[common]) ++common;
    if (common < edge.size()) {
      const auto middle = static_cast<std::uint32_t>(nodes_.size());
      nodes_.emplace_back();
      Node& lower = nodes_[next];
      nodes_[middle].label = Span{lower.label.begin, common};
      lower.label = Span{lower.label.begin + common, lower.label.length - common};
      setChild(middle, static_cast<unsigned char>(contents_[lower.label.begin]), next);
      setChild(node, byte, middle);
      node = middle;
    } else {
      node = next;
    }
    at += common;
  }
  Node& end = nodes_[node];
  if (end.first < 0) end.first = order;
  if (entry.lstrip && end.firstLstrip < 0) end.firstLstrip = order;
}

std::uint32_t AddedTokenSplitter::child(std::uint32_t node, unsigned char byte) const {
  if (node == 0) return rootChildren_[byte];
  const auto& children = nodes_[node].children;
  auto found = std::lower_bound(children.begin(), children.end(), std::make_pair(byte, 0u));
  return found != children.end() && found->first == byte ? found->second : 0;
}

void AddedTokenSplitter::setChild(std::uint32_t node, unsigned char byte, std::uint32_t child) {
  if (node == 0) rootChildren_[byte] = child;
  auto& children = nodes_[node].children;
  auto found = std::lower_bound(children.begin(), children.end(), std::make_pair(byte, 0u));
  if (found != children.end() && found->first == byte) {
    found->second = child;
  } else {
    children.insert(found, std::make_pair(byte, child));
  }
}

AddedTokenSplitter::Found AddedTokenSplitter::earliestAt(std::string_view s, std::size_t at, bool lstripOnly,
                                                         std::size_t& work) const {
  Found best;
  std::uint32_t node = 0;
  std::size_t i = at;
  while (i < s.size()) {
    node = child(node, static_cast<unsigned char>(s[i]));
    if (node == 0) break;
    const std::string_view edge = label(nodes_[node]);
    if (s.size() - i < edge.size()) break;
    work += edge.size();
    if (std::memcmp(s.data() + i, edge.data(), edge.size()) != 0) break;
    i += edge.size();
    const std::int32_t order = lstripOnly ? nodes_[node].firstLstrip : nodes_[node].first;
    if (order >= 0 && (best.alternative < 0 || order < best.alternative)) best = Found{order, i};
  }
  if (work >= kWorkBetweenBudgetChecks) {
    platform::text::RegexTimeBudget::require("the added-token split");
    work = 0;
  }
  return best;
}

// At a boundary b of the run, an alternative matches with its content at b, or (lstrip) at a later
// boundary k of the run or at its end, "\s*" taking b..k; greedy, "\s*" takes the most it can, so
// the largest such k. The winner is the earliest alternative; the lstrip candidates of the later
// boundaries are kept as a running best from the end of the run backwards.
void AddedTokenSplitter::runCandidates(std::string_view s, std::size_t begin, std::size_t runEnd, std::size_t& work,
                                       std::vector<std::size_t>& boundaries, std::vector<Candidate>& winners) const {
  boundaries.clear();
  for (std::size_t at = begin; at < runEnd; at += whitespaceAt(s, at)) boundaries.push_back(at);
  winners.assign(boundaries.size(), Candidate{});
  Candidate later;  // the best lstrip candidate after the boundary at hand
  if (anyLstrip_ && runEnd < s.size()) {
    const Found f = earliestAt(s, runEnd, true, work);
    if (f.alternative >= 0) later = Candidate{f.alternative, runEnd};
  }
  for (std::size_t j = boundaries.size(); j-- > 0;) {
    const std::size_t at = boundaries[j];
    Candidate here = later;
    if (anyLeadingWhitespace_) {
      const Found direct = earliestAt(s, at, false, work);
      // The same alternative found later too is an lstrip one: the later content wins.
      if (direct.alternative >= 0 && (here.alternative < 0 || direct.alternative < here.alternative))
        here = Candidate{direct.alternative, at};
      if (anyLstrip_) {
        const Found absorbing = earliestAt(s, at, true, work);
        if (absorbing.alternative >= 0 && (later.alternative < 0 || absorbing.alternative < later.alternative))
          later = Candidate{absorbing.alternative, at};
      }
    }
    winners[j] = here;
  }
}

std::vector<std::string_view> AddedTokenSplitter::split(std::string_view s) const {
  std::vector<std::string_view> out;
  if (alternatives_.empty()) return {s};
  std::size_t lastEnd = 0;
  std::size_t work = 0;
  std::vector<std::size_t> boundaries;
  std::vector<Candidate> winners;
  auto take = [&](std::int32_t alternative, std::size_t matchBegin, std::size_t contentBegin) {
    const Entry& entry = alternatives_[static_cast<std::size_t>(alternative)];
    const std::size_t contentEnd = contentBegin + entry.content.length;
    const std::size_t matchEnd = entry.rstrip ? whitespaceRunEnd(s, contentEnd) : contentEnd;
    if (matchBegin > lastEnd) out.push_back(s.substr(lastEnd, matchBegin - lastEnd));
    out.push_back(s.substr(contentBegin, entry.content.length));
    lastEnd = matchEnd;
    return matchEnd;
  };
  std::size_t p = 0;
  while (p < s.size()) {
    while (p < s.size() && passes_[static_cast<unsigned char>(s[p])]) ++p;
    if (p == s.size()) break;
    const auto lead = static_cast<unsigned char>(s[p]);
    const std::size_t space = whitespaceAt(s, p);
    if (space == 0) {
      if (rootChildren_[lead] == 0) {
        p += scalarLength(lead);
        continue;
      }
      const Found found = earliestAt(s, p, false, work);
      p = found.alternative >= 0 ? take(found.alternative, p, p) : p + scalarLength(lead);
      continue;
    }
    const std::size_t runEnd = whitespaceRunEnd(s, p + space);
    if (!anyLstrip_ && !anyLeadingWhitespace_) {
      p = runEnd;
      continue;
    }
    runCandidates(s, p, runEnd, work, boundaries, winners);
    p = runEnd;
    for (std::size_t j = 0; j < boundaries.size();) {
      if (winners[j].alternative < 0) {
        ++j;
        continue;
      }
      const std::size_t matchEnd = take(winners[j].alternative, boundaries[j], winners[j].contentBegin);
      if (matchEnd >= runEnd) {
        p = matchEnd;
        break;
      }
      while (j < boundaries.size() && boundaries[j] < matchEnd) ++j;
    }
  }
  if (out.empty()) return {s};
  if (lastEnd < s.size()) out.push_back(s.substr(lastEnd));
  return out;
}

std::string AddedTokenSplitter::pattern() const {
  std::string out;
  for (const Entry& a : alternatives_) {
    if (!out.empty()) out += '|';
    if (a.lstrip) out += "\\s*";
    out += '(';
    out += platform::text::Regex::escapedPattern(std::string_view(contents_.data() + a.content.begin, a.content.length));
    out += ')';
    if (a.rstrip) out += "\\s*";
  }
  return out;
}

}  // namespace tokenizers::detail
