#include "platform/Text/Unicode.h"

#include <cstring>
#include <functional>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

namespace platform::text {

InvalidUtf8Error::InvalidUtf8Error(std::size_t offset)
    : std::invalid_argument("invalid UTF-8 at byte " + std::to_string(offset)), offset(offset) {}

namespace {

void check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) throw std::runtime_error(std::string(what) + " failed: " + u_errorName(status));
}

icu::StringPiece piece(std::string_view text) {
  return icu::StringPiece(text.data(), static_cast<int32_t>(text.size()));
}

void requireIcuSize(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("text too long for ICU");
}

// Checks `text`, then returns the UTF-8 that `write(sink, status)`, an ICU operation on it, writes.
template <class Write>
std::string writtenByIcu(std::string_view text, const char* what, Write&& write) {
  requireValidUtf8(text);
  requireIcuSize(text);
  std::string out;
  out.reserve(text.size());
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  write(sink, status);
  check(status, what);
  return out;
}

const icu::Normalizer2& normalizer(NormalizationForm form) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = nullptr;
  switch (form) {
    case NormalizationForm::nfc: n = icu::Normalizer2::getNFCInstance(status); break;
    case NormalizationForm::nfd: n = icu::Normalizer2::getNFDInstance(status); break;
    case NormalizationForm::nfkc: n = icu::Normalizer2::getNFKCInstance(status); break;
    case NormalizationForm::nfkd: n = icu::Normalizer2::getNFKDInstance(status); break;
  }
  check(status, "loading normalizer");
  return *n;
}

bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

// NFC form, or the text itself (no copy) when it is already NFC.
std::string_view nfcView(std::string_view text, std::string& storage) {
  if (isNormalized(text, NormalizationForm::nfc)) return text;
  storage = normalize(text, NormalizationForm::nfc);
  return storage;
}

// The sequence that starts with the non-ASCII byte s[i]: its length when it is well-formed, else the
// length of its maximal ill-formed subpart, the longest prefix that could start a well-formed
// sequence (at least one byte). Overlong forms, surrogates and values above U+10FFFF are ill-formed.
inline std::size_t measureSequence(const unsigned char* s, std::size_t i, std::size_t n, bool& wellFormed) {
  const unsigned char c = s[i];
  std::size_t length;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) lo = 0xA0;        // overlong
    else if (c == 0xED) hi = 0x9F;   // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) lo = 0x90;        // overlong
    else if (c == 0xF4) hi = 0x8F;   // above U+10FFFF
  } else {
    wellFormed = false;
    return 1;
  }
  std::size_t k = 1;
  if (i + 1 < n && s[i + 1] >= lo && s[i + 1] <= hi) {
    k = 2;
    while (k < length && i + k < n && (s[i + k] & 0xC0) == 0x80) ++k;
  }
  wellFormed = k == length;
  return k;
}

struct UTextCloser {
  void operator()(UText* t) const { utext_close(t); }
};

icu::BreakIterator& characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    check(status, "creating grapheme iterator");
    return it;
  }();
  return *iterator;
}

}  // namespace

// ---- Encoding --------------------------------------------------------------------------------

std::size_t findInvalidUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    bool wellFormed;
    std::size_t length = measureSequence(s, i, n, wellFormed);
    if (!wellFormed) return i;
    i += length;
  }
  return std::string_view::npos;
}

void requireValidUtf8(std::string_view text) {
  std::size_t bad = findInvalidUtf8(text);
  if (bad != std::string_view::npos) throw InvalidUtf8Error(bad);
}

std::string repairUtf8(std::string_view text) {
  std::size_t bad = findInvalidUtf8(text);
  if (bad == std::string_view::npos) return std::string(text);
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  out.reserve(text.size() + 2);
  std::size_t copied = 0;
  while (bad != std::string_view::npos) {
    out.append(text.substr(copied, bad - copied));
    out += "\xEF\xBF\xBD";
    bool wellFormed;
    copied = bad + measureSequence(s, bad, text.size(), wellFormed);
    bad = findInvalidUtf8(text.substr(copied));
    if (bad != std::string_view::npos) bad += copied;
  }
  out.append(text.substr(copied));
  return out;
}

namespace {

// Pairs surrogates into scalars; an unpaired one becomes U+FFFD, or stays as it is when `keepUnpaired`.
std::string fromUtf16(std::u16string_view utf16, bool keepUnpaired) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (!keepUnpaired && c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    appendUtf8(out, c);
  }
  return out;
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
  requireValidUtf8(utf8);
  return fromWtf8(utf8);
}

std::string toUtf8(std::u16string_view utf16) { return fromUtf16(utf16, false); }

std::string toWtf8(std::u16string_view utf16) { return fromUtf16(utf16, true); }

std::u16string fromWtf8(std::string_view wtf8) {
  std::u16string out;
  out.reserve(wtf8.size());
  for (std::size_t i = 0; i < wtf8.size();) {
    char32_t c = nextScalar(wtf8, i);
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
  }
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

char32_t nextScalar(std::string_view s, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  if (c < 0xE0) {
    char32_t r = ((c & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    i += 2;
    return r;
  }
  if (c < 0xF0) {
    char32_t r = ((c & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
    i += 3;
    return r;
  }
  char32_t r = ((c & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
  i += 4;
  return r;
}

char32_t previousScalar(std::string_view s, std::size_t& i) {
  std::size_t start = i - 1;
  while (start > 0 && i - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  i = start;
  return nextScalar(s, start);
}

std::vector<char32_t> scalars(std::string_view utf8) {
  requireValidUtf8(utf8);
  std::vector<char32_t> out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) out.push_back(nextScalar(utf8, i));
  return out;
}

// ---- Normalization and equivalence -----------------------------------------------------------

std::string normalize(std::string_view text, NormalizationForm form) {
  if (isAscii(text)) return std::string(text);  // ASCII is invariant under every form
  return writtenByIcu(text, "normalization", [&](icu::ByteSink& sink, UErrorCode& status) {
    normalizer(form).normalizeUTF8(0, piece(text), sink, nullptr, status);
  });
}

bool isNormalized(std::string_view text, NormalizationForm form) {
  if (isAscii(text)) return true;
  requireValidUtf8(text);
  requireIcuSize(text);
  UErrorCode status = U_ZERO_ERROR;
  bool normal = normalizer(form).isNormalizedUTF8(piece(text), status);
  check(status, "normalization check");
  return normal;
}

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  if (a == b) return true;
  std::string sa, sb;
  return nfcView(a, sa) == nfcView(b, sb);
}

std::size_t canonicalHash(std::string_view text) {
  std::string storage;
  return std::hash<std::string_view>{}(nfcView(text, storage));
}

int canonicalCompare(std::string_view a, std::string_view b) {
  std::string sa, sb;
  // UTF-8 byte order is scalar-value order.
  int c = nfcView(a, sa).compare(nfcView(b, sb));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// ---- Case ------------------------------------------------------------------------------------

std::string lowercased(std::string_view text) {
  return writtenByIcu(text, "lower-casing", [&](icu::ByteSink& sink, UErrorCode& status) {
    icu::CaseMap::utf8ToLower("", 0, piece(text), sink, nullptr, status);
  });
}

std::string uppercased(std::string_view text) {
  return writtenByIcu(text, "upper-casing", [&](icu::ByteSink& sink, UErrorCode& status) {
    icu::CaseMap::utf8ToUpper("", 0, piece(text), sink, nullptr, status);
  });
}

std::string capitalized(std::string_view text) {
  requireValidUtf8(text);
  requireIcuSize(text);
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(piece(text));
  u.toTitle(nullptr, icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string removingDiacritics(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  std::string decomposed = normalize(text, NormalizationForm::nfd);
  std::string kept;
  kept.reserve(decomposed.size());
  for (std::size_t i = 0; i < decomposed.size();) {
    char32_t c = nextScalar(decomposed, i);
    if (generalCategory(c) != GeneralCategory::Mn) appendUtf8(kept, c);
  }
  return normalize(kept, NormalizationForm::nfc);
}

// ---- Grapheme clusters -----------------------------------------------------------------------

std::vector<std::size_t> graphemeBoundaries(std::string_view text) {
  std::vector<std::size_t> out{0};
  if (text.empty()) return out;
  out.reserve(text.size() + 1);  // at most one boundary per byte
  // In ASCII text only CR LF forms a cluster of more than one character.
  if (isAscii(text)) {
    for (std::size_t i = 1; i < text.size(); ++i)
      if (text[i - 1] != '\r' || text[i] != '\n') out.push_back(i);
    out.push_back(text.size());
    return out;
  }
  requireValidUtf8(text);
  requireIcuSize(text);  // the iterator reports 32-bit positions
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UTextCloser> ut(
      utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
  check(status, "opening text");
  icu::BreakIterator& it = characterIterator();
  it.setText(ut.get(), status);
  check(status, "grapheme segmentation");
  for (int32_t b = it.next(); b != icu::BreakIterator::DONE; b = it.next()) out.push_back(static_cast<std::size_t>(b));
  // Detach the iterator from the text before the UText goes.
  it.setText(icu::UnicodeString());
  return out;
}

std::vector<std::string_view> graphemes(std::string_view text) {
  auto bounds = graphemeBoundaries(text);
  std::vector<std::string_view> out;
  out.reserve(bounds.size() - 1);
  for (std::size_t k = 1; k < bounds.size(); ++k) out.push_back(text.substr(bounds[k - 1], bounds[k] - bounds[k - 1]));
  return out;
}

std::size_t graphemeCount(std::string_view text) { return graphemeBoundaries(text).size() - 1; }

// ---- Character properties --------------------------------------------------------------------

GeneralCategory generalCategory(char32_t c) {
  return static_cast<GeneralCategory>(u_charType(static_cast<UChar32>(c)));
}

// ASCII, the common case of lexers, is answered without a property lookup.
bool isWhitespace(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}
bool isAlphabetic(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}
bool isLetter(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_L_MASK) != 0; }
bool isNumeric(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}
bool isDecimalDigit(char32_t c) { return generalCategory(c) == GeneralCategory::Nd; }
bool isPunctuation(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_P_MASK) != 0; }
bool isMark(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0; }
bool isControl(char32_t c) { return generalCategory(c) == GeneralCategory::Cc; }
bool isUppercase(char32_t c) {
  auto gc = generalCategory(c);
  return gc == GeneralCategory::Lu || gc == GeneralCategory::Lt;
}

}  // namespace platform::text
