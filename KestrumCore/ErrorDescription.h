// Text of a caught error for logs and notices: what() of a std::exception, "unknown error" for
// anything else thrown and for an empty pointer.
//   catch (...) { log("failed: " + describeError(std::current_exception())); }
#pragma once

#include <exception>
#include <string>

namespace kestrum {

std::string describeError(const std::exception_ptr& error);

}  // namespace kestrum
