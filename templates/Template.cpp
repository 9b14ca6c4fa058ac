#include "templates/Template.h"

#include <new>

#include "templates/Interpreter.h"
#include "templates/JinjaError.h"
#include "templates/Lexer.h"
#include "templates/Parser.h"
#include "templates/detail/Text.h"

namespace jinja {

namespace {

// Length of the newline character at `at` (LF, VT, FF, CR, U+0085, U+2028, U+2029), or 0.
std::size_t newlineLength(std::string_view text, std::size_t at) {
  unsigned char c = static_cast<unsigned char>(text[at]);
  if (c >= 0x0A && c <= 0x0D) return 1;
  if (text.compare(at, 2, "\xC2\x85") == 0) return 2;
  if (text.compare(at, 3, "\xE2\x80\xA8") == 0 || text.compare(at, 3, "\xE2\x80\xA9") == 0) return 3;
  return 0;
}

// "  {% x %}\r\n  {{ y }}" => "{% x %}\r\n  {{ y }}"
std::string stripBlockIndents(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t lineStart = 0;
  bool atLineStart = true;
  for (std::size_t i = 0; i <= text.size();) {
    if (atLineStart) {
      std::size_t j = i;
      while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
      if (j + 1 < text.size() && text[j] == '{' && (text[j + 1] == '%' || text[j + 1] == '#')) i = j;
      lineStart = i;
      atLineStart = false;
    }
    if (i == text.size()) break;
    std::size_t n = newlineLength(text, i);
    if (n > 0) {
      out.append(text, lineStart, i + n - lineStart);
      i += n;
      lineStart = i;
      atLineStart = true;
    } else {
      ++i;
    }
  }
  out.append(text.substr(lineStart));
  return out;
}

std::string dropNewlineAfter(std::string_view text, std::string_view tag) {
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  while (true) {
    std::size_t at = text.find(tag, from);
    if (at == std::string_view::npos) break;
    out.append(text, from, at + tag.size() - from);
    from = at + tag.size();
    if (from < text.size() && text[from] == '\n') ++from;
  }
  out.append(text.substr(from));
  return out;
}

// Every line end as a line feed, as a template reads them: "a\r\nb\rc" => "a\nb\nc".
std::string withLineFeeds(std::string_view source) {
  std::string out;
  out.reserve(source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] != '\r') {
      out.push_back(source[i]);
      continue;
    }
    out.push_back('\n');
    if (i + 1 < source.size() && source[i + 1] == '\n') ++i;
  }
  return out;
}

// The source without its final line feed, which a template does not render: "a\n\n" => "a\n".
std::string_view withoutFinalLineEnd(std::string_view source) {
  return source.ends_with('\n') ? source.substr(0, source.size() - 1) : source;
}

}  // namespace

std::string Template::applyOptions(std::string_view source, Options options) {
  std::string text(source);
  if (options.lstripBlocks) text = stripBlockIndents(text);
  if (options.trimBlocks) text = dropNewlineAfter(dropNewlineAfter(text, "%}"), "#}");
  return text;
}

Template::Template(std::string_view source) : Template(source, Options{}) {}

Template::Template(std::string_view source, Options options) {
  const bool hasCarriageReturns = source.find('\r') != std::string_view::npos;
  std::string normalized;
  if (hasCarriageReturns) {
    normalized = withLineFeeds(source);
    source = normalized;
  }
  source = withoutFinalLineEnd(source);
  if (options.lstripBlocks || options.trimBlocks) {
    nodes_ = Parser::parse(Lexer::tokenize(applyOptions(source, options)));
  } else {
    nodes_ = Parser::parse(Lexer::tokenize(source));
  }
}

std::size_t Template::hashValue() const {
  Hasher hasher;
  hasher.combine(nodes_.size());
  for (const Node& node : nodes_) node.hash(hasher);
  return hasher.finalize();
}

std::string Template::render(const Context& context, const RenderOptions& options,
                             const EnvironmentRef& environment) const {
  try {
    EnvironmentRef root;
    if (environment) {
      for (const auto& [name, value] : context) environment->set(name, value);
      root = Environment::rootFrom(*environment);
    } else {
      root = Environment::over(context);
    }
    return Interpreter::renderRoot(nodes_, root, options.timeLimit, options.memoryLimit);
  } catch (const std::bad_alloc&) {
    throw JinjaError::runtime("Rendering ran out of memory");
  }
}

}  // namespace jinja
