// Helpers shared by the fuzz targets: cutting one input into the parts of a multi-file document,
// and a private scratch folder for targets whose parser reads files.
#pragma once

#include <sanitizer/allocator_interface.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace parlet_fuzz {

// An input the parser refused with an error, as it should; printed when PARLET_FUZZ_VERBOSE is set
// (to see why seeds are refused).
inline void refused(const std::exception& e) {
  static const bool verbose = std::getenv("PARLET_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "refused: %s\n", e.what());
}

// The marker between parts: a line of its own that no seed contains by accident.
inline constexpr std::string_view kPartMarker = "\n#@@part@@#\n";

// `data` cut at the first `count - 1` markers; parts missing from the input come back empty, and
// `present` says how many were there.
struct Parts {
  std::vector<std::string_view> parts;
  std::size_t present = 0;
};

inline Parts splitParts(const std::uint8_t* data, std::size_t size, std::size_t count) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  Parts out;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const auto at = rest.find(kPartMarker);
    if (at == std::string_view::npos) break;
    out.parts.push_back(rest.substr(0, at));
    rest.remove_prefix(at + kPartMarker.size());
  }
  out.parts.push_back(rest);
  out.present = out.parts.size();
  out.parts.resize(count);
  return out;
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// A folder only this process uses (mode 0700, unpredictable name under $TMPDIR), removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/parlet-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder in " + pattern);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The most heap memory in use at once since `start`, above what was in use then, from the sanitizer's
// allocation hooks (every thread counts). A parser whose peak outgrows its input by far lets a small
// hostile file take the machine's memory, even when every single allocation is modest.
class AllocationMeter {
 public:
  static void start() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
    (void)installed;
    base_ = current_.load();
    peak_ = base_;
  }
  static long long peakGrowth() { return peak_.load() - base_; }

 private:
  static void onMalloc(const volatile void*, std::size_t size) {
    const long long now = current_ += static_cast<long long>(size);
    long long seen = peak_.load(std::memory_order_relaxed);
    while (now > seen && !peak_.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
  }
  static void onFree(const volatile void* p) {
    current_ -= static_cast<long long>(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
  }
  static inline std::atomic<long long> current_{0}, peak_{0};
  static inline long long base_ = 0;
};

// Aborts, saying so, when the peak since AllocationMeter::start() is over `limit` bytes.
inline void checkPeakAllocation(long long limit, std::size_t inputSize) {
  const long long grown = AllocationMeter::peakGrowth();
  if (grown > limit) {
    std::fprintf(stderr, "finding: a %zu-byte input took %lld bytes of memory at once (limit %lld)\n", inputSize,
                 grown, limit);
    std::abort();
  }
}

}  // namespace parlet_fuzz
