#include "KestrumCore/ErrorDescription.h"

namespace kestrum {

std::string describeError(const std::exception_ptr& error) {
  if (!error) return "unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace kestrum
