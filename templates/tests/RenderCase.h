// What the built-in tests share: a source with the text it renders to, and rendering that turns a
// template error into its message so tables can hold both.
#pragma once

#include <string>

#include "templates/JinjaError.h"
#include "templates/Template.h"

namespace jinja::test {

struct Case {
  const char* source;
  const char* expected;
};

inline std::string render(const std::string& source, const Template::Context& context = {}) {
  try {
    return Template(source).render(context);
  } catch (const JinjaError& e) {
    return e.what();
  }
}

}  // namespace jinja::test
