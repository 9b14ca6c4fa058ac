#include "OrderedCollections/Description.h"

#include <cstdio>

#include "platform/System/NumberText.h"

namespace collections {

// "it's \"x\"\n" => "\"it\\'s \\\"x\\\"\\n\"" ; other control characters as \u{hex}.
std::string debugDescription(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string debugDescription(bool b) { return b ? "true" : "false"; }


// 1 => "1.0", 0.1 => "0.1", 1e16 => "1e+16", 1e-5 => "1e-05"
std::string debugDescription(double d) { return platform::system::shortestText(d); }
// 0.1f => "0.1" (float digits, not those of the widened double)
std::string debugDescription(float f) { return platform::system::shortestText(f); }

}  // namespace collections
