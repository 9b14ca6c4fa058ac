#include "KestrumCore/Extensions.h"

#include <fnmatch.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <mutex>

#include "platform/System/Folders.h"
#include "platform/System/SystemInfo.h"
#include "platform/System/Trimming.h"

namespace kestrum {
namespace {

// End offset (one past) of the last occurrence of any of `marks` in `text`, or npos.
std::size_t lastMarkEnd(std::string_view text, std::initializer_list<std::string_view> marks) {
  std::size_t best = std::string_view::npos;
  for (auto mark : marks) {
    auto at = text.rfind(mark);
    if (at == std::string_view::npos) continue;
    std::size_t end = at + mark.size();
    if (best == std::string_view::npos || end > best) best = end;
  }
  return best;
}

std::string orFallback(std::string value, std::string fallback) { return value.empty() ? fallback : value; }

}  // namespace

float rounded(float value, int places) {
  float factor = std::pow(10.0f, static_cast<float>(places));
  return std::round(value * factor) / factor;
}

std::string FileManager::resolveAbsolutePath(std::string_view path) {
  std::string expanded(path);
  if (!expanded.empty() && expanded[0] == '~' && (expanded.size() == 1 || expanded[1] == '/')) {
    expanded = platform::system::homeDirectory().string() + expanded.substr(1);
  }
  if (!expanded.empty() && expanded[0] == '/') return expanded;
  std::error_code error;
  std::filesystem::path current = std::filesystem::current_path(error);
  if (error) current = "/";
  // A file URL's path carries no trailing slash.
  std::string joined = (current / expanded).string();
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  return joined;
}

std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode) {
  auto longEnough = [&](const std::string& candidate) {
    return static_cast<long long>(encode(candidate).size()) >= minTokenCount;
  };
  const std::initializer_list<std::string_view> groups[] = {
      {".", "!", "?", "\n"},
      {",", ";", ":", "-", "\u2013"},
  };
  for (const auto& group : groups) {
    std::size_t end = lastMarkEnd(text, group);
    if (end == std::string_view::npos) continue;
    std::string candidate(platform::system::trimmingWhitespace(text.substr(0, end)));
    if (longEnough(candidate)) return candidate;
  }
  auto space = text.rfind(' ');
  if (space != std::string_view::npos) {
    std::string candidate(platform::system::trimmingWhitespace(text.substr(0, space)));
    if (longEnough(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string trimmingFromEnd(std::string_view text, char character, int upto) {
  for (int removed = 0; removed < upto && !text.empty() && text.back() == character; ++removed) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob) {
  std::vector<std::string> result;
  for (const auto& name : names)
    if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) result.push_back(name);
  return result;
}

std::string ProcessInfo::stringFromSysctl(std::string_view name) {
  // Dotted names only: no empty parts, no path tricks.
  if (name.empty() || name.front() == '.' || name.back() == '.' || name.find("..") != std::string_view::npos ||
      name.find('/') != std::string_view::npos) {
    return {};
  }
  std::string path = "/proc/sys/";
  for (char c : name) path.push_back(c == '.' ? '/' : c);
  return platform::system::readSmallTextFile(path);
}

const std::string& ProcessInfo::hwModel() {
  static const std::string value = orFallback(platform::system::productName(), platform::system::uname().machine);
  return value;
}

const std::string& ProcessInfo::processor() {
  static const std::string value = orFallback(platform::system::cpuInfoField("model name"),
                                              platform::system::uname().machine);
  return value;
}

const std::string& ProcessInfo::vendor() {
  static const std::string value = platform::system::cpuInfoField("vendor_id");
  return value;
}

const std::string& ProcessInfo::cores() {
  static const std::string value = orFallback(platform::system::cpuInfoField("cpu cores"),
                                              std::to_string(platform::system::cpuInfoProcessorCount()));
  return value;
}

const std::string& ProcessInfo::threads() {
  static const std::string value = std::to_string(platform::system::cpuInfoProcessorCount());
  return value;
}

const std::string& ProcessInfo::family() {
  static const std::string value = platform::system::cpuInfoField("cpu family");
  return value;
}

}  // namespace kestrum
