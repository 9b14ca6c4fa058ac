#include "platform/System/SystemInfo.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <vector>

#include "platform/System/Trimming.h"
#include "platform/System/detail/ProcessorBudget.h"

namespace platform::system {
namespace {

// Calls `visit(key, value)` for each "key : value" line until it returns true.
template <class Visit>
void forEachKeyValue(const std::string& path, char separator, Visit&& visit) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    auto colon = line.find(separator);
    if (colon == std::string::npos) continue;
    std::string_view view(line);
    if (visit(trimmingWhitespace(view.substr(0, colon)), trimmingWhitespace(view.substr(colon + 1)))) return;
  }
}

}  // namespace

UnameInfo uname() {
  struct utsname info {};
  if (::uname(&info) != 0) return {};
  return {info.sysname, info.nodename, info.release, info.version, info.machine};
}

std::string readSmallTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  char buffer[4096];
  while (text.size() < (1u << 16) && in.read(buffer, sizeof buffer).gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return std::string(trimmingWhitespace(text));
}

std::string cpuInfoField(std::string_view key) {
  std::string result;
  forEachKeyValue("/proc/cpuinfo", ':', [&](std::string_view k, std::string_view v) {
    if (k != key) return false;
    result = v;
    return true;
  });
  return result;
}

int cpuInfoProcessorCount() {
  int count = 0;
  forEachKeyValue("/proc/cpuinfo", ':', [&](std::string_view k, std::string_view) {
    if (k == "processor") ++count;
    return false;
  });
  return count;
}

std::string productName() { return readSmallTextFile("/sys/devices/virtual/dmi/id/product_name"); }

std::uint64_t residentMemoryBytes() {
  std::uint64_t bytes = 0;
  forEachKeyValue("/proc/self/status", ':', [&](std::string_view k, std::string_view v) {
    if (k != "VmRSS") return false;
    std::uint64_t kib = 0;  // "1234 kB"
    if (std::from_chars(v.data(), v.data() + v.size(), kib).ec == std::errc()) bytes = kib * 1024;
    return true;
  });
  return bytes;
}

int activeProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    for (long cpu = 0; cpu < std::max(online, 1L) && cpu < CPU_SETSIZE; ++cpu) CPU_SET(static_cast<int>(cpu), &set);
  }
  std::vector<std::string> quotas;
  for (const auto& file : detail::cpuMaxFiles(readSmallTextFile("/proc/self/cgroup"), readSmallTextFile("/proc/self/mountinfo")))
    quotas.push_back(readSmallTextFile(file));
  return detail::processorBudget(set, quotas);
}

}  // namespace platform::system
