// A progress value in a tree: a total and a completed unit count of its own, plus children that
// each stand for a number of the parent's units (their pending count) in proportion to their own
// fraction. It also carries the latest known throughput in bytes per second. Thread-safe; a
// child is shared with its parent and may be updated from any thread.
//   Progress all(3);  auto file = std::make_shared<Progress>(100);  all.addChild(file, 1);
//   file->setCompletedUnitCount(50);  all.fractionCompleted() == 0.5 / 3
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace kestrum {

class Progress {
 public:
  explicit Progress(std::int64_t totalUnitCount = 0) : total_(totalUnitCount) {}

  std::int64_t totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
  }
  void setTotalUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    total_ = count;
  }
  std::int64_t completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completed_;
  }
  void setCompletedUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    completed_ = count;
  }

  void addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount) {
    std::lock_guard lock(mutex_);
    children_.emplace_back(std::move(child), pendingUnitCount);
  }

  // (completed + Σ min(child fraction, 1) × pending) ÷ total, at most 1; 0 when the total is 0.
  double fractionCompleted() const {
    std::vector<std::pair<std::shared_ptr<Progress>, std::int64_t>> children;
    double done;
    std::int64_t total;
    {
      std::lock_guard lock(mutex_);
      children = children_;
      done = double(completed_);
      total = total_;
    }
    if (total <= 0) return 0;
    for (const auto& [child, pending] : children)
      done += std::min(1.0, std::max(0.0, child->fractionCompleted())) * double(pending);
    return std::min(1.0, done / double(total));
  }

  // Bytes per second; once set, kept until replaced.
  std::optional<double> throughput() const {
    std::lock_guard lock(mutex_);
    return throughput_;
  }
  void setThroughput(double bytesPerSecond) {
    std::lock_guard lock(mutex_);
    throughput_ = bytesPerSecond;
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t total_;
  std::int64_t completed_ = 0;
  std::vector<std::pair<std::shared_ptr<Progress>, std::int64_t>> children_;
  std::optional<double> throughput_;
};

}  // namespace kestrum
