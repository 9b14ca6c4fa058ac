#include "templates/detail/Text.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <climits>
#include <memory>

#include "platform/System/NumberText.h"
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

// Python's repr of a float, which Jinja2 prints: plain below 1e16 (9.5e15 => "9500000000000000.0").
std::string formatDouble(double value) {
  return platform::system::shortestText(value, platform::system::PlainLimit::belowTenToTheSixteen);
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
