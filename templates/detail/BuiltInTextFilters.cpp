// The text, markup, number, serialization and layout filters.
#include "templates/JinjaError.h"
#include "templates/detail/BuiltInFilterKit.h"

namespace jinja::detail {

void addTextFilters(Filters::Table&) {}

}  // namespace jinja::detail
