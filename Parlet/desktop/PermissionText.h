// The missing-permission text as the windows show it. Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace parlet {

// A word joiner (U+2060) after each "/" inside a path, so that line wrapping never splits it:
// "finds no /dev/uinput" => "finds no /\u2060dev/\u2060uinput".
std::string keepPathsTogether(std::string_view text);

// The reason without its closing pointer to the "Grant Accessibility…" item, for the window that
// item opens: "Parlet cannot read any keyboard. Choose \"Grant Accessibility…\" in Parlet's menu
// for the one-time steps." => "Parlet cannot read any keyboard."
std::string withoutGrantPointer(std::string_view reason);

}  // namespace parlet
