#include "crypto/otp/RegistrableDomain.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace varn::crypto {
namespace {

constexpr std::nullopt_t none = std::nullopt;

TEST(RegistrableDomainTest, Host) {
  struct Case {
    const char* from;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"  HTTPS://WWW.Example.COM:8443/a/b?q=1#f \t", "www.example.com"},
      {"https://user:pw@Example.com/", "example.com"},
      {"http://1.2.3.4.evil.com/", "1.2.3.4.evil.com"},
      {"http://[::1]:8080/", "[::1]"},
      {"https://EXAMPLE.%C3%89S/", "example.\xc3\xa9s"},
      // A parsed but empty host is the empty text, not none.
      {"http:///path", ""},
      {"file:///etc/hosts", ""},
      // Text with "://" that the strict parser refuses falls back to the bare-text rule.
      {"http://a b/", "http"},
      {"https://%FF/", "https"},
      // Bare text: the first run without "/", then the first run without ":".
      {"Example.com:8080/path", "example.com"},
      {"example.com/path:80", "example.com"},
      {"/first/second", "first"},
      {"//first:1/second", "first"},
      {":8080", "8080"},
      {"///", "///"},
      {":::", ":::"},
      {"user@example.com/x", "user@example.com"},
      // A "/" carrying a combining mark is another character, not a separator.
      {"Example.com/\xcc\x81x/y", "example.com/\xcc\x81x"},
      {"B\xc3\x9c"
       "CHER.DE",
       "b\xc3\xbc"
       "cher.de"},
      // Only space separators and tabs are trimmed: a line feed stays.
      {"example.com\n", "example.com\n"},
      {"\xc2\xa0\xe3\x80\x80"
       "example.com\xe2\x80\x83",
       "example.com"},
      {"", none},
      {"   ", none},
      {" \t\xc2\xa0", none},
      {"\xff.example.com", none},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegistrableDomain::host(c.from), c.expected)
        << ::testing::PrintToString(std::string(c.from));
  }
}

TEST(RegistrableDomainTest, Registrable) {
  struct Case {
    const char* from;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"  HTTPS://WWW.Example.COM:8443/a/b?q=1  ", "example.com"},
      {"www.example.com", "example.com"},
      {"a.b.c.example.org", "example.org"},
      {"http://1.2.3.4.evil.com/", "evil.com"},
      {"", none},
      {"   ", none},
      {"http:///path", none},
      {"example.com\n", "example.com\n"},
      // localhost in any case, with or without scheme and port; below it is a name of its own.
      {"localhost", none},
      {"LocalHost", none},
      {"http://LOCALHOST:3000/x", none},
      {"localhost:8080", none},
      {"app.localhost", "app.localhost"},
      // IP literals.
      {"10.0.0.1", none},
      {"010.000.000.001", none},
      {"+1.2.3.4", none},
      {"1.2.3.4.", none},
      {"1..2.3.4", none},
      {"-0.1.2.3", none},
      {"http://192.168.1.1:8080/", none},
      {"1.2.3.256", "3.256"},
      {"-1.2.3.4", "3.4"},
      {"1.2.3", "2.3"},
      {"1.2.3.4.5", "4.5"},
      {"http://[::1]:8080/", none},
      {"https://[2001:db8::1]/", none},
      // Label counts.
      {"intranet", none},
      {".intranet.", none},
      {"example.com", "example.com"},
      {"co.uk", "co.uk"},
      {"github.io", "github.io"},
      {"example.co.uk", "example.co.uk"},
      {"www.example.co.uk", "example.co.uk"},
      {"a.b.c.example.co.uk", "example.co.uk"},
      {"alice.github.io", "alice.github.io"},
      {"www.alice.github.io", "alice.github.io"},
      {"bucket.s3.amazonaws.com", "bucket.s3.amazonaws.com"},
      {"a.b.bucket.s3.amazonaws.com", "bucket.s3.amazonaws.com"},
      // Exactly three labels are never looked up whole.
      {"s3.amazonaws.com", "amazonaws.com"},
      {"www.example.uk", "example.uk"},
      // Empty labels are ignored.
      {".www.example.co.uk.", "example.co.uk"},
      {"www..example..com", "example.com"},
      {"https://WWW.EXAMPLE.CO.UK./", "example.co.uk"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegistrableDomain::registrable(c.from), c.expected)
        << ::testing::PrintToString(std::string(c.from));
  }
}

TEST(RegistrableDomainTest, Matches) {
  struct Case {
    const char* first;
    const char* second;
    bool expected;
  };
  const Case cases[] = {
      {"https://login.example.com/x", "api.example.com", true},
      {"example.com", "EXAMPLE.COM:443", true},
      {"a.example.co.uk", "b.example.co.uk", true},
      {"alice.github.io", "bob.github.io", false},
      {"example.com", "example.org", false},
      {"example.com\n", "example.com", false},
      {"localhost", "localhost", false},
      {"10.0.0.1", "10.0.0.1", false},
      {"", "", false},
      {"example.com", "", false},
      {"", "example.com", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegistrableDomain::matches(c.first, c.second), c.expected)
        << c.first << " / " << c.second;
  }
}

}  // namespace
}  // namespace varn::crypto
