// How many processors a process may use, from the facts Linux gives: its CPU affinity mask and the
// CPU quota of its cgroup v2 and of every cgroup above it. Pure functions over those texts.
#pragma once

#include <sched.h>

#include <string>
#include <string_view>
#include <vector>

namespace platform::system::detail {

// Processors in `affinity`, capped by each quota in `cpuMax` (texts of cgroup v2 cpu.max files:
// "max 100000" sets no cap, "150000 100000" caps at 1.5 processors, rounded up to 2), at least 1.
// A malformed text sets no cap.
int processorBudget(const cpu_set_t& affinity, const std::vector<std::string>& cpuMax);

// Processors a quota allows, rounded up; 0 for "max" or a malformed text.
//   "max 100000" => 0, "300000 100000" => 3, "50000 100000" => 1, "250000" => 3 (period 100000)
int quotaProcessors(std::string_view cpuMax);

// The cpu.max files governing this process, its own cgroup's first, then those above it up to the
// hierarchy's root (which has none). `procSelfCgroup` is /proc/self/cgroup, `mountinfo`
// /proc/self/mountinfo; empty when no cgroup v2 hierarchy is mounted or the process is in none.
//   "0::/user.slice/app" with cgroup2 mounted at /sys/fs/cgroup =>
//   ["/sys/fs/cgroup/user.slice/app/cpu.max", "/sys/fs/cgroup/user.slice/cpu.max"]
std::vector<std::string> cpuMaxFiles(std::string_view procSelfCgroup, std::string_view mountinfo);

}  // namespace platform::system::detail
