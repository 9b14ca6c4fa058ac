// The template lexer and parser on any text.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "FuzzSupport.h"
#include "templates/Lexer.h"
#include "templates/Parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    (void)jinja::Parser::parse(jinja::Lexer::tokenize(std::string_view(reinterpret_cast<const char*>(data), size)));
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  return 0;
}
