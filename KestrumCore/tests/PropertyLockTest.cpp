#include "KestrumCore/PropertyLock.h"

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kestrum {
namespace {

namespace json = platform::json;

TEST(UnfairLockTest, ThrowingBodyReleasesTheLock) {
  UnfairLock lock;
  EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body failed"); }), std::runtime_error);
  EXPECT_EQ(lock.withLock([] { return 7; }), 7);
}

TEST(PropertyLockTest, ConcurrentInPlaceChangesAreNeverLost) {
  PropertyLock<long> counter(0);
  PropertyLock<std::vector<int>> items;
  constexpr int threads = 8, increments = 10000;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < increments; ++i) {
        counter.modify([](long& value) { ++value; });
        if (i % 100 == 0) items.modify([t](auto& list) { list.push_back(t); });
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(counter.get(), threads * increments);
  EXPECT_EQ(items.get().size(), static_cast<std::size_t>(threads * increments / 100));
}

TEST(PropertyLockTest, ThrowingChangeKeepsItsPartialWorkAndReleasesTheLock) {
  PropertyLock<std::vector<int>> values(std::vector<int>{1});
  EXPECT_THROW(values.modify([](auto& list) {
    list.push_back(2);
    throw std::runtime_error("stop");
  }),
               std::runtime_error);
  // The push before the throw stays; reading and changing again would hang on a lock left held.
  EXPECT_EQ(values.get(), (std::vector<int>{1, 2}));
  values.modify([](auto& list) { list.push_back(3); });
  EXPECT_EQ(values.get(), (std::vector<int>{1, 2, 3}));
}

TEST(PropertyLockTest, CopiesAreIndependent) {
  PropertyLock<std::string> original(std::string("a"));
  PropertyLock<std::string> copy = original;
  copy.set("b");
  EXPECT_EQ(original.get(), "a");
  EXPECT_EQ(copy.get(), "b");
}

TEST(PropertyLockTest, EncodesAndDecodesAsTheBareValue) {
  EXPECT_EQ(json::write(PropertyLock<int>(5).toJson()), "5");
  EXPECT_EQ(PropertyLock<int>::fromJson(json::parse("5")).get(), 5);

  PropertyLock<std::vector<std::string>> texts(std::vector<std::string>{"a", "b/c"});
  EXPECT_EQ(json::write(texts.toJson()), R"(["a","b\/c"])");
  EXPECT_EQ(PropertyLock<std::vector<std::string>>::fromJson(json::parse(R"(["x"])")).get(),
            std::vector<std::string>{"x"});

  PropertyLock<std::optional<double>> seek;
  EXPECT_EQ(json::write(seek.toJson()), "null");
  EXPECT_EQ(PropertyLock<std::optional<double>>::fromJson(json::parse("2.5")).get(), 2.5);
}

TEST(PropertyLockTest, DecodingErrorsPropagate) {
  EXPECT_THROW(PropertyLock<int>::fromJson(json::parse("\"five\"")), json::DecodingError);
  EXPECT_THROW(PropertyLock<std::int8_t>::fromJson(json::parse("300")), json::DecodingError);
  EXPECT_THROW(PropertyLock<std::vector<int>>::fromJson(json::parse("[1, null]")), json::DecodingError);
}

}  // namespace
}  // namespace kestrum
