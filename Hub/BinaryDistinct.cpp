#include "Hub/BinaryDistinct.h"

#include <cstdio>
#include <stdexcept>

#include "platform/Text/Unicode.h"

namespace hub {

namespace text = platform::text;

// The stored form is WTF-8 (text::toWtf8): UTF-8 but for unpaired surrogates, kept as encoded units.
namespace {

bool hasSurrogates(std::string_view s) {
  for (std::size_t i = 0; i + 1 < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
  return false;
}

// The stored form as well-formed UTF-8: surrogates become U+FFFD.
std::string toText(const std::string& stored) {
  if (!hasSurrogates(stored)) return stored;
  return text::toUtf8(text::fromWtf8(stored));
}

// First UTF-16 unit of the scalar encoded at byte offset i.
char32_t scalarAt(std::string_view s, std::size_t i) {
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return text::nextScalar(s, i);
}

[[noreturn]] void outOfBounds() { throw std::out_of_range("Index out of bounds"); }

}  // namespace

// ---- BinaryDistinctCharacter -------------------------------------------------------------------

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view utf8) : utf8_(utf8) { text::requireValidUtf8(utf8); }

BinaryDistinctCharacter::BinaryDistinctCharacter(std::u16string_view units) : utf8_(text::toWtf8(units)) {}

std::u16string BinaryDistinctCharacter::bytes() const { return text::fromWtf8(utf8_); }

std::string BinaryDistinctCharacter::string() const { return toText(utf8_); }

std::string BinaryDistinctCharacter::description() const {
  std::string out = "BinaryDistinctCharacter('" + string() + "', bytes: [";
  bool first = true;
  for (char16_t unit : bytes()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(unit));
    out += first ? "\"" : ", \"";
    out += buf;
    out += '"';
    first = false;
  }
  return out + "])";
}

// ---- BinaryDistinctString ----------------------------------------------------------------------

BinaryDistinctString::BinaryDistinctString(std::string_view utf8) : utf8_(utf8) { text::requireValidUtf8(utf8); }

BinaryDistinctString::BinaryDistinctString(std::u16string_view units) : utf8_(text::toWtf8(units)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
  for (const auto& c : characters) utf8_ += c.utf8_;
  // A lone lead and a lone trail surrogate side by side are a pair, as units are.
  if (hasSurrogates(utf8_)) utf8_ = text::toWtf8(text::fromWtf8(utf8_));
}

BinaryDistinctString BinaryDistinctString::fromValidUtf8(std::string utf8) {
  BinaryDistinctString s;
  s.utf8_ = std::move(utf8);
  return s;
}

std::u16string BinaryDistinctString::value() const { return text::fromWtf8(utf8_); }

std::string BinaryDistinctString::string() const { return toText(utf8_); }

std::size_t BinaryDistinctString::count() const { return text::graphemeCount(string()); }

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
  std::string s = string();
  std::vector<BinaryDistinctCharacter> out;
  for (auto g : text::graphemes(s)) out.push_back(BinaryDistinctCharacter(BinaryDistinctCharacter::Trusted{}, std::string(g)));
  return out;
}

std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b) {
  const std::string& x = a.utf8_;
  const std::string& y = b.utf8_;
  std::size_t n = std::min(x.size(), y.size());
  std::size_t i = 0;
  while (i < n && x[i] == y[i]) ++i;
  if (i == n) return x.size() <=> y.size();
  // Byte order is code point order, which is UTF-16 order unless both scalars lie at or above
  // U+D800: there supplementary scalars (lead surrogates) sort before U+E000...U+FFFF.
  char32_t cx = scalarAt(x, i), cy = scalarAt(y, i);
  if (cx >= 0xD800 && cy >= 0xD800) {
    auto unit = [](char32_t c) -> char32_t { return c >= 0x10000 ? 0xD800 + ((c - 0x10000) >> 10) : c; };
    char32_t ux = unit(cx), uy = unit(cy);
    if (ux != uy) return ux <=> uy;
    if (cx >= 0x10000 && cy >= 0x10000) return cx <=> cy;
    // A lone lead surrogate against a pair with the same lead: compare the units that follow.
    std::size_t start = i;
    while (start > 0 && (static_cast<unsigned char>(x[start]) & 0xC0) == 0x80) --start;
    std::u16string ax = text::fromWtf8(std::string_view(x).substr(start));
    std::u16string ay = text::fromWtf8(std::string_view(y).substr(start));
    return ax.compare(ay) <=> 0;
  }
  return static_cast<unsigned char>(x[i]) <=> static_cast<unsigned char>(y[i]);
}

BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b) {
  // A lone lead surrogate meeting a lone trail surrogate becomes a pair, as units would.
  if (hasSurrogates(a.utf8_) || hasSurrogates(b.utf8_)) return BinaryDistinctString(a.value() + b.value());
  return BinaryDistinctString::fromValidUtf8(a.utf8_ + b.utf8_);
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
  if (hasSurrogates(utf8_) || hasSurrogates(prefix.utf8_)) return value().starts_with(prefix.value());
  return utf8_.starts_with(prefix.utf8_);
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
  if (hasSurrogates(utf8_) || hasSurrogates(suffix.utf8_)) return value().ends_with(suffix.value());
  return utf8_.ends_with(suffix.utf8_);
}

BinaryDistinctString BinaryDistinctString::lowercased() const { return fromValidUtf8(text::lowercased(string())); }

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
  const std::string s = string();
  const std::string t = target.string();
  if (t.empty()) return fromValidUtf8(s);
  const std::string wanted = text::normalize(t, text::NormalizationForm::nfd);
  const std::string with = replacement.string();
  const auto bounds = text::graphemeBoundaries(s);
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i + 1 < bounds.size()) {
    std::size_t matchEnd = 0;
    for (std::size_t j = i + 1; j < bounds.size(); ++j) {
      std::string candidate = text::normalize(std::string_view(s).substr(bounds[i], bounds[j] - bounds[i]),
                                              text::NormalizationForm::nfd);
      if (candidate == wanted) {
        matchEnd = j;
        break;
      }
      if (!wanted.starts_with(candidate)) break;
    }
    if (matchEnd) {
      out += with;
      i = matchEnd;
    } else {
      out.append(s, bounds[i], bounds[i + 1] - bounds[i]);
      ++i;
    }
  }
  return fromValidUtf8(std::move(out));
}

std::size_t BinaryDistinctString::index(std::size_t position, std::ptrdiff_t offset) const {
  auto result = static_cast<std::ptrdiff_t>(position) + offset;
  if (result < 0 || static_cast<std::size_t>(result) > count()) outOfBounds();
  return static_cast<std::size_t>(result);
}

std::optional<std::size_t> BinaryDistinctString::index(std::size_t position, std::ptrdiff_t offset,
                                                       std::size_t limit) const {
  auto result = static_cast<std::ptrdiff_t>(position) + offset;
  if (result > static_cast<std::ptrdiff_t>(limit)) return std::nullopt;
  return index(position, offset);
}

BinaryDistinctString BinaryDistinctString::slice(std::size_t lower, std::size_t upper) const {
  const std::string s = string();
  const auto bounds = text::graphemeBoundaries(s);
  if (lower > upper || upper >= bounds.size()) outOfBounds();
  return fromValidUtf8(s.substr(bounds[lower], bounds[upper] - bounds[lower]));
}

BinaryDistinctString BinaryDistinctString::slice(std::size_t lower) const { return slice(lower, count()); }

}  // namespace hub
