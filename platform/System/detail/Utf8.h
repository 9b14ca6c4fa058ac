// UTF-8 well-formedness for the JSON reader and writer (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF). Pure functions.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform::json::detail {

// Byte offset of the first ill-formed sequence in `text`, or npos when it is all well-formed.
//   "a\xC3\xA9" => npos, "ab\xFF" => 2, "\xED\xB0\x80" (an encoded surrogate) => 0
std::size_t invalidUtf8Offset(std::string_view text);

}  // namespace platform::json::detail
