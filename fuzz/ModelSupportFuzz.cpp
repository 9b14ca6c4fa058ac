// murmel::ModelSupportConfig::fromJson of a document from the input, then a lookup. Each row lists
// the known models it does not support, so rows times names is the cost of a table: reading one may
// take no more memory at once than a few dozen times the input's size (plus fixed slack).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "FuzzSupport.h"
#include "Murmel/data/ModelSupport.h"
#include "platform/System/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > murmel::ModelSupportConfig::maxDocumentBytes) return 0;  // refused unread by the loader
  parlet_fuzz::AllocationMeter::start();
  try {
    const auto document = platform::json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto config = murmel::ModelSupportConfig::fromJson(document);
    (void)config.modelSupport("Mac14,2");
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  parlet_fuzz::checkPeakAllocation((64ll << 20) + 64ll * static_cast<long long>(size), size);
  return 0;
}
