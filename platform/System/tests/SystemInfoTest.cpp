#include "platform/System/SystemInfo.h"

#include <sched.h>

#include <string>
#include <vector>

#include "platform/System/detail/ProcessorBudget.h"

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

cpu_set_t cpus(std::initializer_list<int> list) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu : list) CPU_SET(cpu, &set);
  return set;
}

TEST(SystemInfoTest, ProcessorBudgetIsTheAffinityCappedByEveryQuota) {
  const struct {
    cpu_set_t affinity;
    std::vector<std::string> cpuMax;
    int expected;
  } cases[] = {
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {}, 8},
      {cpus({0, 1, 2}), {}, 3},                              // taskset -c 0-2
      {cpus({1, 5, 63}), {}, 3},                             // scattered processors
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"max 100000"}, 8},   // no quota
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"300000 100000"}, 3},
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"150000 100000"}, 2},  // a fraction counts as a whole processor
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"20000 100000"}, 1},
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"400000 200000"}, 2},  // another period
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"250000"}, 3},         // the default period
      {cpus({0, 1}), {"600000 100000"}, 2},                    // the affinity is the smaller
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"max 100000", "200000 100000", "500000 100000"}, 2},  // a parent's quota
      {cpus({0, 1, 2, 3, 4, 5, 6, 7}), {"", "lots", "-5 100000", "100000 0", "1 2 3"}, 8},  // unreadable or malformed
      {cpus({}), {}, 1},
  };
  for (const auto& c : cases) {
    std::string texts;
    for (const auto& t : c.cpuMax) texts += "[" + t + "] ";
    EXPECT_EQ(detail::processorBudget(c.affinity, c.cpuMax), c.expected) << CPU_COUNT(&c.affinity) << " cpus, " << texts;
  }
}

TEST(SystemInfoTest, CpuMaxFilesRunFromTheProcessCgroupUpToTheRoot) {
  const std::string unified = "30 25 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw\n";
  const std::string hybrid =
      "22 21 0:20 / /sys/fs/cgroup ro,nosuid shared:9 - tmpfs tmpfs ro,mode=755\n"
      "23 22 0:21 / /sys/fs/cgroup/cpu rw,relatime shared:10 - cgroup cgroup rw,cpu\n"
      "26 22 0:24 / /sys/fs/cgroup/unified rw,relatime shared:13 - cgroup2 cgroup2 rw\n";
  const std::string fromInside = "40 30 0:26 /box /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n";
  const std::string spaced = "40 30 0:26 / /mnt/cg\\040two rw master:3 - cgroup2 none rw\n";
  const struct {
    std::string cgroup, mountinfo;
    std::vector<std::string> expected;
  } cases[] = {
      {"0::/user.slice/app.scope\n", unified,
       {"/sys/fs/cgroup/user.slice/app.scope/cpu.max", "/sys/fs/cgroup/user.slice/cpu.max"}},
      {"12:cpu:/a\n1:name=systemd:/b\n0::/c\n", hybrid, {"/sys/fs/cgroup/unified/c/cpu.max"}},
      {"0::/box/job\n", fromInside, {"/sys/fs/cgroup/job/cpu.max"}},
      {"0::/x\n", spaced, {"/mnt/cg two/x/cpu.max"}},
      {"0::/\n", unified, {}},                     // the root cgroup has no quota file
      {"4:cpu:/a\n", unified, {}},                 // only the legacy hierarchies
      {"0::/a\n", "23 22 0:21 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n", {}},  // no cgroup2 mounted
      {"", "", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(detail::cpuMaxFiles(c.cgroup, c.mountinfo), c.expected) << c.cgroup;
}

TEST(SystemInfoTest, ActiveProcessorCountFollowsTheThreadsAffinity) {
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  const int before = activeProcessorCount();
  // The first processor the thread may run on, alone.
  int first = 0;
  while (!CPU_ISSET(first, &original)) ++first;
  cpu_set_t one = cpus({first});
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int pinned = activeProcessorCount();
  ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
  EXPECT_EQ(pinned, 1);
  EXPECT_LE(before, CPU_COUNT(&original));
}

TEST(SystemInfoTest, MissingFilesReadAsEmptyText) {
  EXPECT_EQ(readSmallTextFile("/nonexistent/parlet"), "");
  EXPECT_EQ(readSmallTextFile("/proc/sys/kernel/ostype"), "Linux");
}

}  // namespace
}  // namespace platform::system
