#include "OrderedCollections/detail/HashTable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using collections::detail::HashTable;

TEST(HashTableTest, ScaleAndCapacityRules) {
  struct Case {
    std::size_t capacity;
    int scale;
  } cases[] = {{0, 0}, {15, 0}, {16, 5}, {24, 5}, {25, 6}, {48, 6}, {49, 7}, {96, 7}, {97, 8}, {192, 8}, {193, 9}};
  for (auto c : cases) EXPECT_EQ(HashTable::scaleForCapacity(c.capacity), c.scale) << c.capacity;
  EXPECT_EQ(HashTable::maximumCapacity(0), 15u);
  EXPECT_EQ(HashTable::minimumCapacity(0), 0u);
  EXPECT_EQ(HashTable::maximumCapacity(5), 24u);
  EXPECT_EQ(HashTable::minimumCapacity(5), 8u);
  EXPECT_EQ(HashTable::maximumCapacity(8), 192u);
  EXPECT_EQ(HashTable::minimumCapacity(8), 64u);
}

TEST(HashTableTest, ScaleOutsideTheRangeIsRefusedBeforeAllocating) {
  // 57 and above would ask for 2^60 bytes or more; a sanitizer build aborts on such a request.
  for (int scale : {std::numeric_limits<int>::min(), -1, 0, 4, 57, 63, 64, std::numeric_limits<int>::max()}) {
    EXPECT_THAT([&] { HashTable table(scale, 0); },
                ::testing::ThrowsMessage<std::length_error>(
                    ::testing::StrEq("Hash table scale " + std::to_string(scale) + " is outside 5...56")))
        << scale;
  }
  EXPECT_EQ(HashTable(5, 0).bucketCount(), 32u);
}

TEST(HashTableTest, BiasWrapsModuloMaskAndShiftsEveryOffset) {
  HashTable table(5, 0);
  const std::size_t m = 31;
  table.set(7, 4);
  table.setBias(m - 1);
  table.setBias(table.bias() + 1);
  EXPECT_EQ(table.bias(), 0u);
  EXPECT_EQ(table[7], 4u);
  table.setBias(3);
  // An offset equal to the bias must not read as an empty bucket.
  table.set(9, 3);
  EXPECT_TRUE(table.isOccupied(9));
  EXPECT_EQ(table[9], 3u);
  table.setBias(table.bias() + 2);
  EXPECT_EQ(table[9], 5u);
  table.clear();
  EXPECT_FALSE(table.isOccupied(9));
  EXPECT_EQ(table.bias(), 5u);
}

// Members addressed by offset, with hashes picked so that their ideal buckets are known.
struct Fixture {
  HashTable table{5, 0};
  std::vector<std::size_t> hashes;
  // A raw hash whose ideal bucket is `bucket`.
  std::size_t hashFor(std::size_t bucket) {
    for (std::size_t h = 0;; ++h)
      if (table.idealBucket(h) == bucket) return h;
  }
  void add(std::size_t idealBucket) {
    hashes.push_back(hashFor(idealBucket));
    std::size_t offset = hashes.size() - 1;
    table.set(table.firstEmptyBucket(hashes[offset]), offset);
  }
  std::optional<std::size_t> find(std::size_t offset) {
    return table.find(hashes[offset], [&](std::size_t o) { return o == offset; }).first;
  }
};

TEST(HashTableTest, RunWrappingPastLastBucketIsFoundAndRepairedOnDelete) {
  Fixture f;
  f.add(30);  // offset 0 -> bucket 30
  f.add(30);  // offset 1 -> bucket 31
  f.add(31);  // offset 2 -> bucket 0 (wrapped)
  f.add(30);  // offset 3 -> bucket 1
  EXPECT_EQ(f.table[0], 2u);
  EXPECT_EQ(f.table[1], 3u);
  EXPECT_EQ(f.table.firstOccupiedBucketInChain(1), 30u);
  f.table.erase(31, [&](std::size_t o) { return f.hashes[o]; });
  // Offset 2 (ideal 31) moves back into 31; offset 3 (ideal 30) follows into 0.
  EXPECT_EQ(f.table[31], 2u);
  EXPECT_EQ(f.table[0], 3u);
  EXPECT_FALSE(f.table.isOccupied(1));
  for (std::size_t o : {0u, 2u, 3u}) EXPECT_EQ(f.find(o), o);
}

TEST(HashTableTest, DeletingLastBucketOfRunMovesNothing) {
  Fixture f;
  f.add(10);
  f.add(10);
  f.add(12);
  f.table.erase(12, [&](std::size_t o) { return f.hashes[o]; });
  EXPECT_EQ(f.table[10], 0u);
  EXPECT_EQ(f.table[11], 1u);
  EXPECT_FALSE(f.table.isOccupied(12));
}

TEST(HashTableTest, CopyAnswersLikeOriginalAndIsIndependent) {
  Fixture f;
  for (std::size_t b : {3u, 3u, 4u, 20u}) f.add(b);
  HashTable copy(f.table);
  EXPECT_EQ(copy.seed(), f.table.seed());
  EXPECT_EQ(copy.debugContents(), f.table.debugContents());
  copy.set(3, std::nullopt);
  EXPECT_TRUE(f.table.isOccupied(3));
}

TEST(HashTableTest, FillUntilFirstDuplicateStopsAtRepeat) {
  HashTable table(5, 0);
  std::vector<int> members{7, 8, 7};
  std::size_t end = table.fillUntilFirstDuplicate(
      members.size(), [&](std::size_t o) { return std::hash<int>{}(members[o]); },
      [&](std::size_t a, std::size_t b) { return members[a] == members[b]; });
  EXPECT_EQ(end, 2u);
  EXPECT_NEAR(table.debugLoadFactor(), 2.0 / 32, 1e-12);
}

}  // namespace
