// Trimming ASCII white space (space, tab, line feed, carriage return, vertical tab, form feed)
// from both ends of a text; no other character counts. Pure and thread-safe.
//   trimmingWhitespace(" \t hi there\r\n") == "hi there"
#pragma once

#include <string_view>

namespace platform::system {

// A view into `text`; empty when it is all white space.
std::string_view trimmingWhitespace(std::string_view text);

}  // namespace platform::system
