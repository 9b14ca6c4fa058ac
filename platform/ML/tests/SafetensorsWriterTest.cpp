// A tensor file that cannot hold a value as asked is refused with the value itself in the message,
// all of its digits: a whole-number tensor holding 1.0000001 names 1.0000001, not 1.
#include <gtest/gtest.h>

#include <string>

#include "platform/ML/detail/Safetensors.h"
#include "testsupport/Fixtures.h"

namespace platform::ml::testing {
namespace {

using detail::Tensor;
using detail::WeightsError;

TEST(SafetensorsWriterTest, RefusedValuesAreNamedWithEveryDigit) {
  testsupport::TempDir dir;
  struct Case {
    float value;
    bool integer, half;
    const char* named;
  } cases[] = {
      {1.0000001f, true, false, "holds 1.0000001, not an int32"},
      {123456.7f, true, false, "holds 123456.7, not an int32"},
      {-0.5f, true, false, "holds -0.5, not an int32"},
      {65520.0f, false, true, "holds 65520, beyond half precision"},
      {-1e6f, false, true, "holds -1e+06, beyond half precision"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    const Tensor tensor{{2}, {3.0f, c.value}, c.integer, c.half};
    try {
      detail::writeSafetensors(dir.path() / "weights.safetensors", {{"t", tensor}});
      ADD_FAILURE() << "written";
    } catch (const WeightsError& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace platform::ml::testing
