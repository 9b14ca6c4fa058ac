// The number, conversion, serialization and layout filters.
#include "templates/JinjaError.h"
#include "templates/detail/BuiltInFilterKit.h"

namespace jinja::detail {

void addNumberFilters(Filters::Table&) {}

}  // namespace jinja::detail
