#include "templates/detail/Text.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <memory>

#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/Value.h"

namespace jinja::detail {
namespace text = platform::text;

std::string_view wellFormed(std::string_view text, std::string& storage) {
  if (text::isValidUtf8(text)) return text;
  storage = text::repairUtf8(text);
  return storage;
}

namespace {

bool isAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Grapheme clusters of well-formed UTF-8 text, counted by ICU's character break iterator over the
// bytes in place. In ASCII text only CR LF is a cluster of more than one character.
std::size_t countClusters(std::string_view text) {
  if (isAscii(text)) {
    std::size_t pairs = 0;
    for (std::size_t i = 1; i < text.size(); ++i)
      if (text[i - 1] == '\r' && text[i] == '\n') ++pairs;
    return text.size() - pairs;
  }
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return text::graphemeCount(text);  // its size error
  thread_local std::unique_ptr<icu::BreakIterator> iterator;
  UErrorCode status = U_ZERO_ERROR;
  if (!iterator) iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) {
    utext_close(ut);
    throw JinjaError::runtime(std::string("Cannot count the characters of a text: ") + u_errorName(status));
  }
  iterator->setText(ut, status);
  std::size_t count = 0;
  if (U_SUCCESS(status))
    for (int32_t b = iterator->next(); b != icu::BreakIterator::DONE; b = iterator->next()) ++count;
  iterator->setText(icu::UnicodeString());  // detach before the UText goes
  utext_close(ut);
  if (U_FAILURE(status))
    throw JinjaError::runtime(std::string("Cannot count the characters of a text: ") + u_errorName(status));
  return count;
}

}  // namespace

std::vector<std::string_view> characters(std::string_view text, std::string& storage) {
  std::string_view whole = wellFormed(text, storage);
  // At most one character per byte: only a longer text can hold too many.
  if (whole.size() > Value::maxArrayElements) checkArraySize(countClusters(whole));
  return text::graphemes(whole);
}

std::size_t countCharacters(std::string_view text) {
  std::string storage;
  return countClusters(wellFormed(text, storage));
}

std::string formatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view sci(buffer, result.ptr - buffer);  // "-1.2345e+17"
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  std::string out = negative ? "-" : "";
  if (value == 0 || (exponent >= -4 && exponent < 16)) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, exponent + 1);
      out += '.';
      out += digits.substr(exponent + 1);
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += exponent < 0 ? "e-" : "e+";
  std::string exp = std::to_string(exponent < 0 ? -exponent : exponent);
  if (exp.size() < 2) out += '0';
  out += exp;
  return out;
}

std::string replaceForward(std::string_view text, std::string_view old, std::string_view replacement,
                           long long limit) {
  std::string out;
  std::size_t from = 0;
  long long done = 0;
  while (limit < 0 || done < limit) {
    std::size_t at = text.find(old, from);
    if (at == std::string_view::npos) break;
    out.append(text, from, at - from);
    out += replacement;
    checkStringSize(out.size());
    from = at + old.size();
    ++done;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace jinja::detail
