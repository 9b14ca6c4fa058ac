// The rows of the built-in tables, one maker per family; BuiltIns.cpp builds each table once.
#pragma once

#include <string>

#include "templates/BuiltIns.h"

namespace jinja::detail {

Tests::Table makeTestTable();
Globals::Table makeGlobalTable();
Filters::Table makeFilterTable();

// strftime directives as a date pattern (Unicode date field symbols), literals quoted:
// "%Y-%m-%d %H:%M" => "yyyy'-'MM'-'dd' 'HH':'mm"
std::string strftimePattern(const std::string& format);

}  // namespace jinja::detail
