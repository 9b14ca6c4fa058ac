#include "templates/detail/SmallVector.h"

#include <string>

#include <gtest/gtest.h>

namespace jinja::detail {
namespace {

// Strings too long for their own inline storage: a lost, doubled or stale element shows as a wrong
// text here and as a leak or a bad free under the address sanitizer.
std::string element(int i) { return "element number " + std::to_string(i) + " of the list"; }

// Sizes on both sides of the inline capacity, through appends, moves and clears.
TEST(SmallVectorTest, KeepsItsElementsInlineAndOnTheHeap) {
  for (int n : {0, 1, 3, 4, 5, 9, 40}) {
    SmallVector<std::string, 4> v;
    for (int i = 0; i < n; ++i) {
      if (i % 2) v.push_back(element(i));
      else v.emplace_back(element(i));
    }
    ASSERT_EQ(v.size(), static_cast<std::size_t>(n));

    SmallVector<std::string, 4> moved(std::move(v));
    EXPECT_TRUE(v.empty());
    SmallVector<std::string, 4> assigned;
    assigned.emplace_back("replaced");
    assigned = std::move(moved);
    EXPECT_TRUE(moved.empty());
    ASSERT_EQ(assigned.size(), static_cast<std::size_t>(n)) << n;
    int i = 0;
    for (const std::string& text : assigned) EXPECT_EQ(text, element(i++)) << n;

    v.emplace_back("reused after the move");  // a moved-from vector works on
    EXPECT_EQ(v[0], "reused after the move");
    assigned.clear();
    EXPECT_TRUE(assigned.empty());
    assigned.emplace_back(element(7));
    EXPECT_EQ(assigned.back(), element(7));
  }
}

// An element appended from the vector itself when it must grow is copied before the move.
TEST(SmallVectorTest, AppendsACopyOfItsOwnElementWhileGrowing) {
  SmallVector<std::string, 2> v;
  v.emplace_back(element(0));
  v.emplace_back(element(1));
  v.emplace_back(v[0]);
  v.push_back(v[1]);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[2], element(0));
  EXPECT_EQ(v[3], element(1));
}

}  // namespace
}  // namespace jinja::detail
