#include "platform/System/detail/ProcessorBudget.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "platform/System/Trimming.h"

namespace platform::system::detail {
namespace {

bool parseNumber(std::string_view text, std::uint64_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Fields of a line split at single spaces.
std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  while (!line.empty()) {
    const auto space = line.find(' ');
    out.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return out;
}

// Mount points in mountinfo write space, tab, newline and backslash as octal escapes ("\040").
std::string unescapeOctal(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const auto digits = text.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

template <class Visit>
void forEachLine(std::string_view text, Visit&& visit) {
  while (!text.empty()) {
    const auto newline = text.find('\n');
    visit(text.substr(0, newline));
    if (newline == std::string_view::npos) break;
    text.remove_prefix(newline + 1);
  }
}

}  // namespace

int quotaProcessors(std::string_view cpuMax) {
  const auto parts = fields(trimmingWhitespace(cpuMax));
  if (parts.empty() || parts.size() > 2 || parts[0] == "max") return 0;
  std::uint64_t quota = 0, period = 100000;  // the kernel's default period when the text gives none
  if (!parseNumber(parts[0], quota) || (parts.size() == 2 && !parseNumber(parts[1], period))) return 0;
  if (quota == 0 || period == 0) return 0;
  const std::uint64_t processors = (quota + period - 1) / period;
  return static_cast<int>(std::min<std::uint64_t>(processors, CPU_SETSIZE));
}

int processorBudget(const cpu_set_t& affinity, const std::vector<std::string>& cpuMax) {
  int budget = CPU_COUNT(&affinity);
  for (const auto& text : cpuMax)
    if (const int cap = quotaProcessors(text); cap > 0) budget = std::min(budget, cap);
  return std::max(budget, 1);
}

std::vector<std::string> cpuMaxFiles(std::string_view procSelfCgroup, std::string_view mountinfo) {
  // The unified hierarchy's line reads "0::<path>".
  std::string path;
  bool found = false;
  forEachLine(procSelfCgroup, [&](std::string_view line) {
    if (!found && line.starts_with("0::")) {
      path = std::string(line.substr(3));
      found = true;
    }
  });
  if (!found || path.empty() || path.front() != '/') return {};

  std::string mountPoint, mountRoot;
  forEachLine(mountinfo, [&](std::string_view line) {
    if (!mountPoint.empty()) return;
    const auto f = fields(line);
    const auto dash = std::find(f.begin(), f.end(), "-");
    if (f.size() < 5 || dash == f.end() || dash + 1 == f.end() || dash[1] != "cgroup2") return;
    mountRoot = unescapeOctal(f[3]);
    mountPoint = unescapeOctal(f[4]);
  });
  if (mountPoint.empty()) return {};
  // A hierarchy mounted from inside a cgroup shows paths below that cgroup.
  if (mountRoot != "/" && path.starts_with(mountRoot) && (path.size() == mountRoot.size() || path[mountRoot.size()] == '/'))
    path.erase(0, mountRoot.size());
  while (!mountPoint.empty() && mountPoint.back() == '/') mountPoint.pop_back();

  std::vector<std::string> files;
  while (!path.empty() && path != "/") {
    files.push_back(mountPoint + path + "/cpu.max");
    path.erase(path.rfind('/'));
  }
  return files;
}

}  // namespace platform::system::detail
