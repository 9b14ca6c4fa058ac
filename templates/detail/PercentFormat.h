// printf-style formatting of the "%" operator on strings and the format filter:
//   "%s-%03d" % ["a", 7] => "a-007";  "%(name)s" % {"name": "Ann"} => "Ann";  "%.2f" % 3.14159 => "3.14"
// Conversions s r d i u f F e E g G x X o c and %%, with the flags - + space 0 #, a width and a
// precision; an array gives the arguments in order, an object the mapping of "%(key)s", any other
// value the one argument. %s writes the printed form. Throws JinjaError (runtime case) for too few
// or too many arguments, an argument of the wrong kind, and conversions it does not know.
#pragma once

#include <string>

#include "templates/Value.h"

namespace jinja::detail {

std::string percentFormat(const std::string& format, const Value& arguments);

}  // namespace jinja::detail
