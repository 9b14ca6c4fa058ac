// platform::json::parse on any bytes. A document that reads must write, and its written text must
// read back to the same text: the archive and the settings go through this round trip.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/System/Json.h"

namespace json = platform::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  json::Value value;
  try {
    value = json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
    return 0;
  }
  for (const bool pretty : {false, true}) {
    std::string text;
    try {
      text = json::write(value, {.pretty = pretty});
    } catch (const json::EncodingError&) {
      return 0;  // inf and nan read, but have no JSON form
    }
    // What we wrote must read again and write the same text.
    const std::string again = json::write(json::parse(text), {.pretty = pretty});
    if (again != text) {
      std::fprintf(stderr, "finding: written JSON %s reads back as %s\n", text.c_str(), again.c_str());
      std::abort();
    }
  }
  return 0;
}
