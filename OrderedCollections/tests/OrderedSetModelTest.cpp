// Long random operation sequences against a plain vector model, for a well-spread hash and for one
// that piles every member into a few probe runs (long chains, wrap-around, back-shift deletion).
#include "OrderedCollections/OrderedDictionary.h"
#include "OrderedCollections/OrderedSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

struct CollidingHash {
  std::size_t operator()(int x) const { return static_cast<std::size_t>(x % 3); }
};

template <class Set>
void expectConsistent(const Set& set, const std::vector<int>& model) {
  ASSERT_EQ(set.elements(), model);
  auto in = set.internals();
  EXPECT_LE(set.size(), in.capacity);
  if (set.size() > 15) {
    EXPECT_TRUE(in.hasTable);
  }
  if (!in.hasTable) {
    EXPECT_EQ(in.scale, 0);
    EXPECT_EQ(in.capacity, 15u);
    return;
  }
  EXPECT_EQ(in.hashTableContents.size(), std::size_t{1} << in.scale);
  std::vector<int> seen(set.size(), 0);
  for (auto v : in.hashTableContents) {
    if (!v) continue;
    ASSERT_LT(*v, set.size());
    ++seen[*v];
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));
  for (std::size_t i = 0; i < model.size(); ++i) ASSERT_EQ(set.find(model[i]), i);
}

template <class HashT>
class OrderedSetModelTest : public ::testing::Test {};
using Hashes = ::testing::Types<std::hash<int>, CollidingHash>;
TYPED_TEST_SUITE(OrderedSetModelTest, Hashes);

TYPED_TEST(OrderedSetModelTest, RandomOperationsMatchVectorModel) {
  using Set = collections::OrderedSet<int, TypeParam>;
  std::mt19937 rng(12345);
  auto uniform = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  Set set;
  std::vector<int> model;
  auto modelFind = [&](int v) { return std::find(model.begin(), model.end(), v); };
  const int valueRange = 400;
  for (int step = 0; step < 20000; ++step) {
    int v = static_cast<int>(uniform(valueRange));
    // Bias towards growth while small so that every table scale is visited.
    std::size_t op = model.size() < 200 && uniform(3) == 0 ? 0 : uniform(16);
    Set before = set;
    std::vector<int> beforeModel = model;
    switch (op) {
      case 0: case 1: {
        auto r = set.append(v);
        auto it = modelFind(v);
        EXPECT_EQ(r.inserted, it == model.end());
        if (it == model.end()) model.push_back(v);
        EXPECT_EQ(r.index, static_cast<std::size_t>(modelFind(v) - model.begin()));
        break;
      }
      case 2: {
        std::size_t at = uniform(model.size() + 1);
        auto r = set.insert(v, at);
        auto it = modelFind(v);
        if (it == model.end()) {
          model.insert(model.begin() + at, v);
          EXPECT_EQ(r.index, at);
        } else {
          EXPECT_EQ(r.index, static_cast<std::size_t>(it - model.begin()));
        }
        break;
      }
      case 3: {
        auto r = set.remove(v);
        auto it = modelFind(v);
        EXPECT_EQ(r.has_value(), it != model.end());
        if (it != model.end()) model.erase(it);
        break;
      }
      case 4:
        if (!model.empty()) {
          std::size_t at = uniform(model.size());
          EXPECT_EQ(set.removeAt(at), model[at]);
          model.erase(model.begin() + at);
        }
        break;
      case 5:
        if (!model.empty()) {
          EXPECT_EQ(set.removeFirst(), model.front());
          model.erase(model.begin());
        }
        break;
      case 6:
        if (!model.empty()) {
          EXPECT_EQ(set.removeLast(), model.back());
          model.pop_back();
        }
        break;
      case 7: {
        std::size_t lo = uniform(model.size() + 1);
        std::size_t hi = lo + uniform(std::min<std::size_t>(model.size() - lo, 40) + 1);
        set.removeSubrange(lo, hi);
        model.erase(model.begin() + lo, model.begin() + hi);
        break;
      }
      case 8:
        if (model.size() >= 2) {
          std::size_t i = uniform(model.size()), j = uniform(model.size());
          set.swapAt(i, j);
          std::swap(model[i], model[j]);
        }
        break;
      case 9: {
        std::size_t at = uniform(model.size() + 1);
        auto r = set.updateOrInsert(v, at);
        auto it = modelFind(v);
        if (it == model.end()) {
          model.insert(model.begin() + at, v);
          EXPECT_FALSE(r.originalMember.has_value());
        } else {
          EXPECT_EQ(r.originalMember, v);
        }
        break;
      }
      case 10:
        set.reserveCapacity(uniform(300), uniform(4) == 0);
        break;
      case 11:
        if (uniform(20) == 0) {
          bool keep = uniform(2) == 0;
          set.removeAll(keep);
          model.clear();
        }
        break;
      case 12:
        switch (uniform(4)) {
          case 0: set.sort(); std::sort(model.begin(), model.end()); break;
          case 1: set.reverse(); std::reverse(model.begin(), model.end()); break;
          case 2: {
            int m = static_cast<int>(uniform(5)) + 2;
            set.removeAll([&](int x) { return x % m == 0; });
            std::erase_if(model, [&](int x) { return x % m == 0; });
            break;
          }
          default: {
            std::size_t p = set.partition([](int x) { return x % 2 == 0; });
            auto mp = std::partition(model.begin(), model.end(), [](int x) { return x % 2 != 0; });
            EXPECT_EQ(p, static_cast<std::size_t>(mp - model.begin()));
            // Order within groups is the set's own; adopt it after checking the grouping.
            std::vector<int> got = set.elements();
            for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i] % 2 == 0, i >= p);
            model = got;
          }
        }
        break;
      case 13: {
        std::size_t k = uniform(std::min<std::size_t>(model.size(), 30) + 1);
        if (uniform(2)) {
          set.removeFirst(k);
          model.erase(model.begin(), model.begin() + k);
        } else {
          set.removeLast(k);
          model.erase(model.end() - k, model.end());
        }
        break;
      }
      default: {
        EXPECT_EQ(set.contains(v), modelFind(v) != model.end());
        break;
      }
    }
    // The copy taken before the step never sees the step.
    ASSERT_NO_FATAL_FAILURE(expectConsistent(before, beforeModel)) << "copy changed at step " << step;
    ASSERT_NO_FATAL_FAILURE(expectConsistent(set, model)) << "step " << step << " op " << op;
  }
}

// The table parameters a set must report, tracked from the sizing rules alone: a table above 15
// members or when reserved, rebuilt at the smallest scale that holds the count (at least the
// reserved one) when an append overflows it or a removal leaves fewer than a quarter of its buckets
// (never at the reserved scale), or when half the set goes at once; changes in the front half of
// the offsets move the bias instead of renumbering.
struct TableModel {
  std::size_t n = 0;
  bool table = false;
  int scale = 0, reserved = 0;
  std::size_t bias = 0;

  static int scaleFor(std::size_t c) {
    if (c <= 15) return 0;
    int s = 5;
    while ((std::size_t{1} << s) * 3 / 4 < c) ++s;
    return s;
  }
  std::size_t mask() const { return (std::size_t{1} << scale) - 1; }
  std::size_t capacity() const { return table ? (std::size_t{1} << scale) * 3 / 4 : 15; }
  std::size_t minimumCapacity() const { return table && scale != reserved ? (std::size_t{1} << scale) / 4 : 0; }
  void build(int s, int r) {
    s = std::max({s, scaleFor(n), r});
    table = s >= 5;
    scale = table ? s : 0;
    reserved = table ? r : 0;
    bias = 0;
  }
  void regenerate() {
    if (n > 15 || reserved != 0) build(scaleFor(n), reserved);
    else build(0, 0);
  }
  void moveBias(std::size_t up, std::size_t down) { bias = (bias + up + mask() - down % mask()) % mask(); }
  void append() {
    if (++n > capacity()) regenerate();
  }
  void insert(std::size_t at) {
    if (n < capacity()) {
      if (table && at < n / 2) moveBias(1, 0);
      ++n;
    } else {
      ++n;
      regenerate();
    }
  }
  void removeRange(std::size_t lo, std::size_t hi) {
    std::size_t d = hi - lo, left = n - d;
    if (!table || d == 0) {
      n = left;
    } else if (n / 2 >= left || left < minimumCapacity()) {
      n = left;
      regenerate();
    } else {
      if (lo < left / 2) moveBias(0, d);
      n = left;
    }
  }
  void removeAt(std::size_t at) {
    if (n - 1 < minimumCapacity()) {
      --n;
      regenerate();
    } else {
      if (table && at < (n - 1) / 2) moveBias(0, 1);
      --n;
    }
  }
  void removeLast() {
    --n;
    if (n < minimumCapacity()) regenerate();
  }
  void removeAll(bool keepingCapacity) {
    n = 0;
    if (!keepingCapacity) build(0, 0);
  }
  void reserve(std::size_t k, bool persistent) {
    int w = scaleFor(k), r = persistent ? w : reserved;
    if (scale < w) return build(w, r);
    int t = std::max({w, r, scaleFor(n)});
    if (t < scale) build(t, r);
    else if (table) reserved = r;
  }
};

TEST(OrderedSetModelTest, InternalsFollowGrowthAndShrinkRules) {
  std::mt19937 rng(99);
  auto uniform = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  collections::OrderedSet<int> set;
  TableModel model;
  int next = 0;
  for (int step = 0; step < 30000; ++step) {
    std::size_t n = set.size();
    std::size_t op = n < 300 && uniform(3) == 0 ? 0 : uniform(11);
    switch (op) {
      case 0: set.append(next++); model.append(); break;
      case 1: { std::size_t at = uniform(n + 1); set.insert(next++, at); model.insert(at); break; }
      case 2: if (n) { std::size_t at = uniform(n); set.removeAt(at); model.removeAt(at); } break;
      case 3: if (n) { std::size_t at = uniform(n); set.remove(set[at]); model.removeAt(at); } break;
      case 4: if (n) { set.removeLast(); model.removeLast(); } break;
      case 5: {
        std::size_t lo = uniform(n + 1), hi = lo + uniform(std::min<std::size_t>(n - lo, 60) + 1);
        set.removeSubrange(lo, hi);
        model.removeRange(lo, hi);
        break;
      }
      case 6: if (uniform(30) == 0) { bool keep = uniform(2) == 0; set.removeAll(keep); model.removeAll(keep); } break;
      case 7: { std::size_t k = uniform(400); bool persistent = uniform(4) == 0; set.reserveCapacity(k, persistent); model.reserve(k, persistent); break; }
      case 8: if (uniform(5) == 0) { set.reverse(); model.regenerate(); } break;
      case 9: if (uniform(5) == 0) { set.removeAll([](int x) { return x % 7 == 0; }); model.n = set.size(); model.regenerate(); } break;
      default:
        // Reordering in place keeps every parameter.
        set.sort();
        if (n > 1) set.swapAt(uniform(n), uniform(n));
        set.partition([](int x) { return x % 2 == 0; });
    }
    auto in = set.internals();
    ASSERT_EQ(set.size(), model.n) << "step " << step;
    ASSERT_EQ(in.hasTable, model.table) << "step " << step << " op " << op;
    ASSERT_EQ(in.scale, model.scale) << "step " << step << " op " << op;
    ASSERT_EQ(in.reservedScale, model.reserved) << "step " << step << " op " << op;
    ASSERT_EQ(in.bias, model.bias) << "step " << step << " op " << op;
    ASSERT_EQ(in.capacity, model.capacity()) << "step " << step;
    ASSERT_EQ(in.minimumCapacity, model.minimumCapacity()) << "step " << step;
  }
}

TEST(OrderedDictionaryModelTest, RandomOperationsMatchPairModel) {
  using Dict = collections::OrderedDictionary<int, int, CollidingHash>;
  std::mt19937 rng(777);
  auto uniform = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  Dict dict;
  std::vector<std::pair<int, int>> model;
  auto find = [&](int k) {
    return std::find_if(model.begin(), model.end(), [&](auto& p) { return p.first == k; });
  };
  for (int step = 0; step < 10000; ++step) {
    int k = static_cast<int>(uniform(300));
    int v = static_cast<int>(uniform(1000));
    switch (model.size() < 100 && uniform(2) == 0 ? 0 : uniform(7)) {
      case 0: {
        dict.set(k, v);
        auto it = find(k);
        if (it == model.end()) model.emplace_back(k, v); else it->second = v;
        break;
      }
      case 1: {
        dict.set(k, std::nullopt);
        auto it = find(k);
        if (it != model.end()) model.erase(it);
        break;
      }
      case 2: {
        std::size_t at = uniform(model.size() + 1);
        auto r = dict.updateValue(v, k, at);
        auto it = find(k);
        if (it == model.end()) {
          model.insert(model.begin() + at, {k, v});
          EXPECT_EQ(r.index, at);
        } else {
          EXPECT_EQ(r.originalMember, it->second);
          EXPECT_EQ(r.index, static_cast<std::size_t>(it - model.begin()));
          it->second = v;
        }
        break;
      }
      case 3:
        dict.modify(k, [&](std::optional<int>& slot) {
          if (slot && *slot % 2 == 0) slot.reset(); else slot = v;
        });
        if (auto it = find(k); it == model.end()) model.emplace_back(k, v);
        else if (it->second % 2 == 0) model.erase(it);
        else it->second = v;
        break;
      case 4:
        dict.removeAll([&](int key, int value) { return (key + value) % 7 == 0; });
        std::erase_if(model, [](auto& p) { return (p.first + p.second) % 7 == 0; });
        break;
      case 5: {
        std::size_t lo = uniform(model.size() + 1);
        std::size_t hi = lo + uniform(std::min<std::size_t>(model.size() - lo, 10) + 1);
        dict.removeSubrange(lo, hi);
        model.erase(model.begin() + lo, model.begin() + hi);
        break;
      }
      default: {
        const int* got = dict.get(k);
        auto it = find(k);
        ASSERT_EQ(got != nullptr, it != model.end());
        if (got) {
          EXPECT_EQ(*got, it->second);
        }
      }
    }
    ASSERT_EQ(dict.size(), model.size()) << "step " << step;
    for (std::size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(dict.keys()[i], model[i].first) << "step " << step;
      ASSERT_EQ(dict.values()[i], model[i].second) << "step " << step;
      ASSERT_EQ(dict.index(model[i].first), i) << "step " << step;
    }
  }
}

}  // namespace
