#include "platform/System/SystemInfo.h"

#include <vector>

#include <gtest/gtest.h>

namespace platform::system {
namespace {

TEST(SystemInfoTest, UnameNamesTheLinuxKernel) {
  UnameInfo info = uname();
  EXPECT_EQ(info.sysname, "Linux");
  EXPECT_FALSE(info.machine.empty());
  EXPECT_FALSE(info.release.empty());
}

TEST(SystemInfoTest, ResidentMemoryGrowsWhenPagesAreTouched) {
  std::uint64_t before = residentMemoryBytes();
  ASSERT_GT(before, 0u);
  std::vector<char> block(64u << 20, 1);  // 64 MiB, written so the pages are resident
  // An opaque use keeps the optimiser from removing the block, which it may otherwise drop whole.
  asm volatile("" : : "r"(block.data()) : "memory");
  std::uint64_t after = residentMemoryBytes();
  EXPECT_GE(after, before + (48u << 20));
}

TEST(SystemInfoTest, ProcessorCountsAreAtLeastOne) {
  EXPECT_GE(activeProcessorCount(), 1);
  // Affinity may exclude processors but never adds any.
  if (cpuInfoProcessorCount() > 0) {
    EXPECT_LE(activeProcessorCount(), cpuInfoProcessorCount());
  }
}

TEST(SystemInfoTest, MissingFilesReadAsEmptyText) {
  EXPECT_EQ(readSmallTextFile("/nonexistent/parlet"), "");
  EXPECT_EQ(readSmallTextFile("/proc/sys/kernel/ostype"), "Linux");
}

}  // namespace
}  // namespace platform::system
