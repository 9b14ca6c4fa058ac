// Runs a test once per instruction-set path this processor has (portable, avx2, avx512), the path
// forced for the test's duration: TEST_P(EveryInstructionSet, ...) in a suite instantiated with
// PARLET_ON_EVERY_INSTRUCTION_SET(SuiteAlias).
#pragma once

#include <gtest/gtest.h>

#include "platform/ML/detail/Vector.h"

namespace platform::ml::testing {

class EveryInstructionSet : public ::testing::TestWithParam<detail::InstructionSet> {
 protected:
  void SetUp() override {
    previous_ = detail::instructionSet();
    detail::setInstructionSet(GetParam());
  }
  void TearDown() override { detail::setInstructionSet(previous_); }

 private:
  detail::InstructionSet previous_{};
};

inline std::string instructionSetTestName(const ::testing::TestParamInfo<detail::InstructionSet>& info) {
  return detail::instructionSetName(info.param);
}

}  // namespace platform::ml::testing

#define PARLET_ON_EVERY_INSTRUCTION_SET(suite)                                                                    \
  INSTANTIATE_TEST_SUITE_P(Paths, suite, ::testing::ValuesIn(::platform::ml::detail::availableInstructionSets()), \
                           ::platform::ml::testing::instructionSetTestName)
