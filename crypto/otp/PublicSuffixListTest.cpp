#include "crypto/otp/PublicSuffixList.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace varn::crypto {
namespace {

struct Pair {
  std::string a;
  std::string b;
  bool same;
};

TEST(PublicSuffixListTest, SameRegistrableDomainOnlyWhenBothHaveOne) {
  const std::vector<Pair> pairs{
      {"api.example.com", "www.example.com", true},
      {"API.Example.COM", "example.com", true},
      {"shop.example.co.uk", "example.co.uk", true},
      {"myproj.supabase.co", "api.myproj.supabase.co", true},
      {"b\xC3\xBC"
       "cher.example.de",
       "B\xC3\x9C"
       "CHER.example.de",
       true},
      {"myproj.supabase.co", "evilproj.supabase.co", false},
      {"alice.github.io", "bob.github.io", false},
      {"example.co.uk", "other.co.uk", false},
      {"supabase.co", "supabase.co", false},  // a public suffix has no registrable domain
      {"supabase.co", "myproj.supabase.co", false},
      {"com", "com", false},
      {"localhost", "localhost", false},
      {"", "", false},
      {"a\xFF.example.com", "b.example.com", false},
  };
  for (const Pair& pair : pairs) {
    EXPECT_EQ(PublicSuffixList::sameRegistrableDomain(pair.a, pair.b), pair.same)
        << pair.a << " / " << pair.b;
    EXPECT_EQ(PublicSuffixList::sameRegistrableDomain(pair.b, pair.a), pair.same)
        << pair.b << " / " << pair.a;
  }
  EXPECT_EQ(PublicSuffixList::registrableDomain("X.MyProj.Supabase.co"), "myproj.supabase.co");
  EXPECT_EQ(PublicSuffixList::registrableDomain("supabase.co"), std::nullopt);
}

// The hosting zones below a registrable domain, by rule ("s3.amazonaws.com") and by wildcard
// ("*.compute.amazonaws.com"); none below a domain without any, and nothing at or above one.
TEST(PublicSuffixListTest, ZonesBelowADomain) {
  const std::vector<std::string> zones = PublicSuffixList::zonesBelow("amazonaws.com");
  for (const std::string zone : {"s3.amazonaws.com", ".compute.amazonaws.com"}) {
    EXPECT_NE(std::find(zones.begin(), zones.end(), zone), zones.end()) << zone;
  }
  for (const std::string& zone : zones) {
    EXPECT_TRUE(zone.ends_with(".amazonaws.com")) << zone;
  }
  EXPECT_EQ(PublicSuffixList::zonesBelow("example.com"), std::vector<std::string>{});
  EXPECT_EQ(PublicSuffixList::zonesBelow(""), std::vector<std::string>{});
}

TEST(PublicSuffixListTest, ConcurrentFirstUseLoadsOneList) {
  std::vector<std::thread> threads;
  std::vector<char> results(16, 0);
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&results, i] {
      results[i] = PublicSuffixList::sameRegistrableDomain("a.example.org", "b.example.org");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(results, std::vector<char>(16, 1));
}

}  // namespace
}  // namespace varn::crypto
