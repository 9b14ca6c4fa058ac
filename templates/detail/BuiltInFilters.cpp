// The built-in filters.
#include "templates/detail/BuiltInRows.h"

namespace jinja::detail {

Filters::Table makeFilterTable() { return Filters::Table{}; }

}  // namespace jinja::detail
