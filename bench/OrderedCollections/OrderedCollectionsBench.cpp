// OrderedDictionary against the pair it replaces (std::unordered_map from key to offset plus
// std::vector of keys and values), doing the same work: lookups, appends, and removals from the
// front and from the middle (each removal re-appends the key so that the size stays put).
// Sizes 10 to 1,000,000; a short default run (--benchmark_min_time raises precision).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "OrderedCollections/OrderedDictionary.h"

namespace {

using Key = std::int64_t;
using Dict = collections::OrderedDictionary<Key, Key>;

// The insertion-ordered map built from standard parts.
struct IndexedPair {
  std::unordered_map<Key, std::size_t> index;
  std::vector<Key> keys;
  std::vector<Key> values;

  void append(Key k, Key v) {
    if (index.emplace(k, keys.size()).second) {
      keys.push_back(k);
      values.push_back(v);
    }
  }
  const Key* get(Key k) const {
    auto it = index.find(k);
    return it == index.end() ? nullptr : &values[it->second];
  }
  void removeAt(std::size_t i) {
    index.erase(keys[i]);
    keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(i));
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::size_t j = i; j < keys.size(); ++j) index[keys[j]] = j;
  }
};

std::vector<Key> randomKeys(std::size_t n) {
  std::mt19937_64 rng(42);
  std::vector<Key> keys(n);
  for (auto& k : keys) k = static_cast<Key>(rng());
  return keys;
}

std::vector<Key> shuffled(std::vector<Key> keys) {
  std::mt19937_64 rng(7);
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

void BM_Lookup_OrderedDictionary(benchmark::State& state) {
  auto keys = randomKeys(static_cast<std::size_t>(state.range(0)));
  Dict d;
  for (Key k : keys) d.set(k, k);
  auto probes = shuffled(keys);
  for (auto _ : state)
    for (Key k : probes) benchmark::DoNotOptimize(d.get(k));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(probes.size()));
}

void BM_Lookup_Pair(benchmark::State& state) {
  auto keys = randomKeys(static_cast<std::size_t>(state.range(0)));
  IndexedPair p;
  for (Key k : keys) p.append(k, k);
  auto probes = shuffled(keys);
  for (auto _ : state)
    for (Key k : probes) benchmark::DoNotOptimize(p.get(k));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(probes.size()));
}

void BM_Append_OrderedDictionary(benchmark::State& state) {
  auto keys = randomKeys(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Dict d;
    for (Key k : keys) d.set(k, k);
    benchmark::DoNotOptimize(d.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

void BM_Append_Pair(benchmark::State& state) {
  auto keys = randomKeys(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    IndexedPair p;
    for (Key k : keys) p.append(k, k);
    benchmark::DoNotOptimize(p.keys.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

template <bool Middle>
void BM_Remove_OrderedDictionary(benchmark::State& state) {
  auto keys = randomKeys(static_cast<std::size_t>(state.range(0)));
  Dict d;
  for (Key k : keys) d.set(k, k);
  for (auto _ : state) {
    auto [k, v] = d.removeAt(Middle ? d.size() / 2 : 0);
    d.set(k, v);
  }
  state.SetItemsProcessed(state.iterations());
}

template <bool Middle>
void BM_Remove_Pair(benchmark::State& state) {
  auto keys = randomKeys(static_cast<std::size_t>(state.range(0)));
  IndexedPair p;
  for (Key k : keys) p.append(k, k);
  for (auto _ : state) {
    std::size_t i = Middle ? p.keys.size() / 2 : 0;
    Key k = p.keys[i], v = p.values[i];
    p.removeAt(i);
    p.append(k, v);
  }
  state.SetItemsProcessed(state.iterations());
}

void sizes(benchmark::internal::Benchmark* b) { b->RangeMultiplier(10)->Range(10, 1'000'000)->MinTime(0.05); }

BENCHMARK(BM_Lookup_OrderedDictionary)->Apply(sizes);
BENCHMARK(BM_Lookup_Pair)->Apply(sizes);
BENCHMARK(BM_Append_OrderedDictionary)->Apply(sizes);
BENCHMARK(BM_Append_Pair)->Apply(sizes);
BENCHMARK(BM_Remove_OrderedDictionary<false>)->Name("BM_RemoveFront_OrderedDictionary")->Apply(sizes);
BENCHMARK(BM_Remove_Pair<false>)->Name("BM_RemoveFront_Pair")->Apply(sizes);
BENCHMARK(BM_Remove_OrderedDictionary<true>)->Name("BM_RemoveMiddle_OrderedDictionary")->Apply(sizes);
BENCHMARK(BM_Remove_Pair<true>)->Name("BM_RemoveMiddle_Pair")->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
