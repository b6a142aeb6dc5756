#include "api/core/ServerURL.hpp"

#include <gtest/gtest.h>

namespace varn::api {
namespace {

TEST(ServerURLTest, JoinsPathsAndQueriesToTheBase) {
  const struct {
    const char* base;
    const char* path;
    std::vector<support::QueryItem> query;
    const char* url;
  } cases[] = {
      {"https://sync.example/api", "orgs", {}, "https://sync.example/api/orgs"},
      {"https://sync.example/api/", "orgs", {}, "https://sync.example/api/orgs"},
      {"HTTPS://sync.example:8443", "me", {}, "https://sync.example:8443/me"},
      {"http://u@[::1]:80/", "me", {}, "http://u@[::1]:80/me"},
      {"https://h/api?k=v#f", "me", {}, "https://h/api/me?k=v"},
      {"https://h/api?k=v",
       "sync",
       {{"since", "2025-03-01T12:00:00Z"}},
       "https://h/api/sync?since=2025-03-01T12:00:00Z"},
      {"https://h",
       "sync",
       {{"a b", "x&y=z+1"}, {"n", std::nullopt}},
       "https://h/sync?a%20b=x%26y%3Dz%2B1&n"},
      {"https://h", "a b/c\"d", {}, "https://h/a%20b/c%22d"},
  };
  for (const auto& c : cases) {
    std::optional<ServerURL> base = ServerURL::parse(c.base);
    ASSERT_TRUE(base) << c.base;
    EXPECT_EQ(base->join(c.path, c.query), c.url);
  }
}

TEST(ServerURLTest, OnlyAbsoluteHttpUrlsWithAHostAreBases) {
  for (const char* text :
       {"ftp://h/", "file:///tmp", "/api", "h/api", "http://", "http:///x", "http://h h/", ""}) {
    EXPECT_FALSE(ServerURL::parse(text)) << text;
  }
}

TEST(ServerURLTest, ASegmentCannotReachAnotherPath) {
  const struct {
    const char* text;
    const char* segment;
  } cases[] = {
      {"inv-1", "inv-1"},
      {"A1B2.c_d~e", "A1B2.c_d~e"},
      {"a/b", "a%2Fb"},
      {"%2F", "%252F"},
      {"?#", "%3F%23"},
      {".", "%2E"},
      {"..", "%2E%2E"},
      {"...", "..."},
      {"a b", "a%20b"},
      {"x:y@z!$&'()*+,;=", "x:y@z!$&'()*+,;="},
      {"\xC3\xA9\r\n", "%C3%A9%0D%0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(ServerURL::segment(c.text), c.segment) << c.text;
}

}  // namespace
}  // namespace varn::api
