// hub::JSONParser::parseToConfig on any bytes, then the Config's own description of the tree.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "FuzzSupport.h"
#include "Hub/JSONParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const hub::Config config = hub::JSONParser::parseToConfig(std::string_view(reinterpret_cast<const char*>(data), size));
    (void)config.description();
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  return 0;
}
