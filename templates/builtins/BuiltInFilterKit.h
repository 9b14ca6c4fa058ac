// Helpers shared by the built-in filters.
#pragma once

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "templates/BuiltIns.h"
#include "templates/PropertyMembers.h"
#include "templates/detail/Once.h"

namespace jinja::detail {

// Binds positional arguments 1 onward (0 is the filtered input) and the keywords.
BoundArguments bindFilter(const Arguments& args, const KeywordArguments& kwargs, const std::vector<std::string>& parameters,
                          const BoundArguments& defaults);
// Member `attribute` (a name, or an int index/key) of `item`, or undefined.
Value memberOf(const Value& item, const Value& attribute);
std::mt19937_64& randomSource();
// Adds the text, number, serialization and layout filters.
void addTextFilters(Filters::Table& table);
void addNumberFilters(Filters::Table& table);
void addLayoutFilters(Filters::Table& table);
// The scalar a one-scalar character holds; 0xFFFFFFFF for a longer cluster.
char32_t scalarOf(std::string_view character);
// & < > " ' as entities, ampersands first.
std::string escapeHtml(const std::string& s);

}  // namespace jinja::detail
