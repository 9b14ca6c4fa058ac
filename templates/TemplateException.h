// The error a template raises on purpose through the raise_exception global. It is not a
// JinjaError and the engine never translates it: it reaches the caller of render unchanged.
// `what()` is the message, or "" when the template gave none.
//   {{ raise_exception('Roles must alternate') }}  =>  TemplateException, message "Roles must alternate"
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace jinja {

class TemplateException : public std::exception {
 public:
  explicit TemplateException(std::optional<std::string> message = std::nullopt) : message(std::move(message)) {}
  const char* what() const noexcept override { return message ? message->c_str() : ""; }

  std::optional<std::string> message;
};

}  // namespace jinja
