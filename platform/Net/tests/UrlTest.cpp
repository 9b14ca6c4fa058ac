#include "platform/Net/Url.h"

#include <vector>

#include <gtest/gtest.h>

namespace platform::net {
namespace {

TEST(UrlTest, ParsesAbsoluteUrlsIntoParts) {
  auto p = parseAbsoluteUrl("HTTP://127.0.0.1:8080/c/d%20e?y=2#f");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->scheme, "http");
  EXPECT_EQ(p->host, "127.0.0.1");
  EXPECT_EQ(p->port, 8080);
  EXPECT_EQ(p->path, "/c/d%20e");
  EXPECT_EQ(p->query, "y=2");
  EXPECT_EQ(p->fragment, "f");
  EXPECT_EQ(joinUrl(*p), "http://127.0.0.1:8080/c/d%20e?y=2#f");

  auto q = parseAbsoluteUrl("https://example.org");
  ASSERT_TRUE(q);
  EXPECT_FALSE(q->port);
  EXPECT_EQ(q->effectivePort(), 443);
  EXPECT_FALSE(q->query);

  for (const char* bad : {"", "/a/b", "relative", "http://", "a b://x"}) EXPECT_FALSE(parseAbsoluteUrl(bad)) << bad;
}

TEST(UrlTest, TellsAbsoluteFromRelativeReferences) {
  struct Case {
    const char* reference;
    bool absolute;
  };
  for (const Case& c : std::vector<Case>{{"https://b/x", true},
                                         {"//b/x", true},
                                         {"HTTP://b", true},
                                         {"/a/b?x=1", false},
                                         {"a/b", false},
                                         {"../a", false},
                                         {"?q", false}})
    EXPECT_EQ(isAbsoluteReference(c.reference), c.absolute) << c.reference;
}

TEST(UrlTest, ResolvesReferencesAsRfc3986) {
  struct Case {
    const char* reference;
    const char* expected;
  };
  // Expected values from the examples of RFC 3986 section 5.4, on the base http://a/b/c/d;p?q.
  for (const Case& c : std::vector<Case>{{"g", "http://a/b/c/g"},
                                         {"/g", "http://a/g"},
                                         {"?y", "http://a/b/c/d;p?y"},
                                         {"../g", "http://a/b/g"},
                                         {"../../../g", "http://a/g"},
                                         {"g?y", "http://a/b/c/g?y"},
                                         {"http://other:9/z", "http://other:9/z"}})
    EXPECT_EQ(resolveReference("http://a/b/c/d;p?q", c.reference), c.expected) << c.reference;
}

TEST(UrlTest, PercentEncodesPathsAndSegments) {
  EXPECT_EQ(percentEncodePath("a b/c", true), "a%20b/c");
  EXPECT_EQ(percentEncodePath("refs/pr/1", false), "refs%2Fpr%2F1");
  EXPECT_EQ(percentEncodePath("x?y#z%", true), "x%3Fy%23z%25");
  EXPECT_EQ(percentEncodePath("m-._~!$&'()*+,;=:@", true), "m-._~!$&'()*+,;=:@");
  EXPECT_EQ(percentEncodePath("\xC3\xA9", true), "%C3%A9");
}

TEST(UrlTest, LastPathSegmentIsDecoded) {
  EXPECT_EQ(lastPathSegment("https://h/api/models/o/r/revision/main"), "main");
  EXPECT_EQ(lastPathSegment("https://h/a/b%20c?q=1"), "b c");
  EXPECT_EQ(lastPathSegment("https://h/a/dir/"), "dir");
  EXPECT_EQ(lastPathSegment("https://h/a/%4"), "%4");
}

}  // namespace
}  // namespace platform::net
