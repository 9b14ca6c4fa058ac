// An object member whose value is read afresh on every access (the cycler's `current`). Stored as
// a function value wrapping LiveMember; member access calls it instead of returning the function.
#pragma once

#include <functional>

#include "templates/Value.h"

namespace jinja::detail {

struct LiveMember {
  std::function<Value()> read;
  Value operator()(const Arguments&, const KeywordArguments&, const EnvironmentRef&) const { return read(); }
};

// What a member access yields for a stored entry.
inline Value memberValue(const Value& stored) {
  if (stored.isFunction())
    if (const LiveMember* live = stored.asFunction().target<LiveMember>()) return live->read();
  return stored;
}

}  // namespace jinja::detail
