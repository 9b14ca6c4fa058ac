#include "Murmel/transcription/detail/TranscribeLogText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <locale>

#include "KestrumCore/Describe.h"
#include "KestrumCore/Logging.h"

namespace murmel::detail {
namespace {

using platform::ml::Float16;

// A text as a list shows it: quoted, with quotes, backslashes and control characters escaped.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

}  // namespace

bool debugLogging() { return kestrum::Logging::shared().logLevel() <= kestrum::Logging::LogLevel::debug; }

std::string describePrompt(const std::vector<std::int64_t>& prompt, const WhisperTokenizer& tokenizer) {
  std::string out = "[";
  for (std::size_t i = 0; i < prompt.size(); ++i)
    out += (i ? ", " : "") + quoted(tokenizer.convertIdToToken(prompt[i]).value_or(""));
  return out + "]";
}

std::string describeClips(const std::vector<SeekClip>& clips) {
  std::string out = "[";
  for (std::size_t i = 0; i < clips.size(); ++i)
    out += (i ? ", " : "") + std::string("(start: ") + std::to_string(clips[i].start) + ", end: " + std::to_string(clips[i].end) + ")";
  return out + "]";
}

std::string describeHalf(Float16 value) {
  const float v = static_cast<float>(value);
  if (!std::isfinite(v)) return kestrum::describeFloat(v);
  for (int digits = 1; digits <= 5; ++digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
    const float back = std::strtof(text, nullptr);
    if (static_cast<Float16>(back) == value) return kestrum::describeFloat(back);
  }
  return kestrum::describeFloat(v);
}

std::string describeTemperatures(const std::vector<Float16>& temperatures) {
  std::string out = "[";
  for (std::size_t i = 0; i < temperatures.size(); ++i) out += (i ? ", " : "") + describeHalf(temperatures[i]);
  return out + "]";
}

std::string threeSignificantDigits(float value) {
  if (!std::isfinite(value)) return kestrum::describeFloat(value);
  char text[64];
  std::snprintf(text, sizeof text, "%.2e", static_cast<double>(value));  // rounds to three digits
  const double rounded = std::strtod(text, nullptr);
  const int exponent = rounded == 0 ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(rounded))));
  std::snprintf(text, sizeof text, "%.*f", std::max(0, 2 - exponent), rounded);
  std::string plain = text;

  char decimalPoint = '.', thousands = ',';
  std::string grouping;
  try {
    const std::locale user("");
    const auto& punct = std::use_facet<std::numpunct<char>>(user);
    decimalPoint = punct.decimal_point();
    thousands = punct.thousands_sep();
    grouping = punct.grouping();
  } catch (const std::exception&) {  // an unknown locale in the environment: plain C formatting
  }
  const std::size_t sign = plain[0] == '-' ? 1 : 0;
  const std::size_t point = std::min(plain.find('.'), plain.size());
  std::string integer = plain.substr(sign, point - sign), grouped;
  // Groups from the right, sizes from the grouping string (its last size repeats).
  std::size_t group = 0, left = integer.size();
  std::vector<std::string> parts;
  while (left > 0) {
    const int size = grouping.empty() ? 0 : grouping[std::min(group, grouping.size() - 1)];
    if (size <= 0 || static_cast<std::size_t>(size) >= left) {
      parts.push_back(integer.substr(0, left));
      break;
    }
    parts.push_back(integer.substr(left - static_cast<std::size_t>(size), static_cast<std::size_t>(size)));
    left -= static_cast<std::size_t>(size);
    ++group;
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) grouped += (it == parts.rbegin() ? "" : std::string(1, thousands)) + *it;
  std::string out = plain.substr(0, sign) + grouped;
  if (point < plain.size()) out += decimalPoint + plain.substr(point + 1);
  return out;
}

}  // namespace murmel::detail
