// Small helpers on numbers, paths, lists and texts, and device facts of the running machine.
// All are free of shared state except the device texts, which are read once and then kept
// (safe from any thread). Nothing here throws except `batched` for a size below 1.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestrum {

// round(value * 10^places) / 10^places in single precision, halves away from zero.
//   rounded(2.5f, 0) == 3, rounded(-2.5f, 0) == -3
float rounded(float value, int places);

struct FileManager {
  // "~/x" => "$HOME/x"; "/a" => "/a"; "a/b" => "<current dir>/a/b" (links kept, not standardised).
  static std::string resolveAbsolutePath(std::string_view path);
};

// Consecutive slices of `size` elements, the last holding the rest. Throws std::invalid_argument
// for a size below 1.   [1..7] by 3 => [[1,2,3],[4,5,6],[7]]
template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& values, std::ptrdiff_t size) {
  if (size < 1) throw std::invalid_argument("batched: size must be at least 1");
  std::vector<std::vector<T>> batches;
  for (std::size_t start = 0; start < values.size(); start += static_cast<std::size_t>(size)) {
    std::size_t end = std::min(values.size(), start + static_cast<std::size_t>(size));
    batches.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(start),
                         values.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return batches;
}

// Each element at its first occurrence, in order.   [a, b, a, c, b] => [a, b, c]
template <class T, class Hash = std::hash<T>>
std::vector<T> orderedSet(const std::vector<T>& values) {
  std::unordered_set<T, Hash> seen;
  std::vector<T> result;
  for (const auto& value : values)
    if (seen.insert(value).second) result.push_back(value);
  return result;
}

// The leading part of `text` up to its last sentence end (". ! ? \n"), else its last clause mark
// (", ; : - –"), trimmed, whose token count is at least `minTokenCount`; else the trimmed text
// before the last space when long enough; else nothing.
std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode);

// Removes up to `upto` trailing copies of `character`.   ("Hi...", '.', 2) => "Hi."
std::string trimmingFromEnd(std::string_view text, char character, int upto);

// The names that fnmatch(3) with flags 0 matches against `glob`, in order ("*" also matches "/").
std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob);

struct ProcessInfo {
  // A kernel parameter by its dotted name, read from /proc/sys ("kernel.ostype" => "Linux");
  // empty for a name the kernel does not know.
  static std::string stringFromSysctl(std::string_view name);
  // The device identifier: the DMI product name, else the uname machine ("x86_64").
  static const std::string& hwModel();
  static const std::string& processor();  // "model name" of /proc/cpuinfo
  static const std::string& vendor();     // "vendor_id"
  static const std::string& cores();      // "cpu cores"
  static const std::string& threads();    // number of logical processors
  static const std::string& family();     // "cpu family"
};

}  // namespace kestrum
