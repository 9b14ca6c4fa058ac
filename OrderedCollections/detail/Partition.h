// Index-based partitions shared by the set and the dictionary: `belongsInSecond(i)` judges the
// item now at offset i, `swapItems(i, j)` exchanges two items (keys and values together).
// Swaps only, so a throwing predicate never loses an item.
#pragma once

#include <cstddef>

namespace collections::detail {

// Items judged false keep their relative order at the front; returns the first offset of the rest.
//   [1, 2, 3, 4, 5], even => [1, 3, 5, 4, 2], 3
template <class Pred, class Swap>
std::size_t halfStablePartition(std::size_t count, Pred&& belongsInSecond, Swap&& swapItems) {
  std::size_t p = 0;
  while (p < count && !belongsInSecond(p)) ++p;
  if (p == count) return count;
  for (std::size_t i = p + 1; i < count; ++i) {
    if (belongsInSecond(i)) continue;
    swapItems(p, i);
    ++p;
  }
  return p;
}

// Two-ended scan; the order within each group is not kept.
//   [1, 2, 3, 4, 5, 6], even => [1, 5, 3, 4, 2, 6], 3
template <class Pred, class Swap>
std::size_t twoEndedPartition(std::size_t count, Pred&& belongsInSecond, Swap&& swapItems) {
  std::size_t low = 0, high = count;
  while (true) {
    while (low != high && !belongsInSecond(low)) ++low;
    if (low == high) return low;
    do {
      --high;
      if (high == low) return low;
    } while (belongsInSecond(high));
    swapItems(low, high);
    ++low;
  }
}

}  // namespace collections::detail
