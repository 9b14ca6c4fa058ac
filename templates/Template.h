// A compiled template: source text with every line end (CR LF, CR) read as a line feed and less one
// final line feed, after the optional line rewrites, lexed and parsed once into an immutable node list, then rendered any number of
// times against a context, also from several threads at once as long as the renders share no
// caller-given scope. Compiling throws the lexer's and parser's JinjaError; rendering throws
// JinjaError (runtime case) and the errors of built-ins, also when one render runs past its time
// limit.
//   Template("Hi {{ name }}").render({{"name", Value("Ann")}}) == "Hi Ann"
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "templates/Ast.h"
#include "templates/Environment.h"
#include "templates/Value.h"

namespace jinja {

// The signal of `break` and `continue`, caught by the enclosing loop.
enum class ControlFlow : std::uint8_t { break_, continue_ };

class Template {
 public:
  struct Options {
    bool lstripBlocks = false;  // strip spaces and tabs before a statement or comment tag that starts a line
    bool trimBlocks = false;    // drop the line feed right after a statement or comment tag
    friend bool operator==(const Options&, const Options&) = default;
  };
  struct RenderOptions {
    std::chrono::milliseconds timeLimit{10'000};  // wall-clock budget of one render; zero: no limit
    std::size_t memoryLimit = std::size_t{1} << 30;  // bytes the values, arguments and texts of one render hold; zero: no limit
  };
  using Context = Environment::Variables;

  explicit Template(std::string_view source);
  Template(std::string_view source, Options options);

  // Writes the context into `environment` (when given) and renders in a fresh root scope made from
  // that scope's own variables and the built-in globals.
  std::string render(const Context& context, const EnvironmentRef& environment = nullptr) const {
    return render(context, RenderOptions{}, environment);
  }
  std::string render(const Context& context, const RenderOptions& options,
                     const EnvironmentRef& environment = nullptr) const;

  const Nodes& nodes() const { return nodes_; }
  friend bool operator==(const Template& a, const Template& b) { return a.nodes_ == b.nodes_; }
  std::size_t hashValue() const;

  // The line rewrites alone, on text whose line ends are line feeds: "  {% x %}\n" => "{% x %}\n".
  static std::string applyOptions(std::string_view source, Options options);

 private:
  Nodes nodes_;
};

}  // namespace jinja
