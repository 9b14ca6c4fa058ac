#include "KestrumCore/ErrorDescription.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace kestrum {
namespace {

TEST(ErrorDescriptionTest, StandardErrorsGiveTheirMessageAndOthersAnUnknownError) {
  EXPECT_EQ(describeError(std::make_exception_ptr(std::runtime_error("disk full"))), "disk full");
  EXPECT_EQ(describeError(std::make_exception_ptr(std::invalid_argument("bad rate"))), "bad rate");
  EXPECT_EQ(describeError(std::make_exception_ptr(42)), "unknown error");
  EXPECT_EQ(describeError(nullptr), "unknown error");
}

}  // namespace
}  // namespace kestrum
