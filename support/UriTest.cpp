#include "support/Uri.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace varn::support {
namespace {

using Opt = std::optional<std::string>;

struct ValidCase {
  std::string text;
  UriComponents expected;
};

class UriValidTest : public ::testing::TestWithParam<ValidCase> {};

TEST_P(UriValidTest, ParsesIntoRawComponents) {
  const ValidCase& c = GetParam();
  const std::optional<UriComponents> parsed = parseUriReference(c.text);
  ASSERT_TRUE(parsed.has_value()) << c.text;
  EXPECT_EQ(parsed->scheme, c.expected.scheme) << c.text;
  EXPECT_EQ(parsed->userinfo, c.expected.userinfo) << c.text;
  EXPECT_EQ(parsed->host, c.expected.host) << c.text;
  EXPECT_EQ(parsed->port, c.expected.port) << c.text;
  EXPECT_EQ(parsed->path, c.expected.path) << c.text;
  EXPECT_EQ(parsed->query, c.expected.query) << c.text;
  EXPECT_EQ(parsed->fragment, c.expected.fragment) << c.text;
}

// {scheme, userinfo, host, port, path, query, fragment}
INSTANTIATE_TEST_SUITE_P(
    Rfc3986, UriValidTest,
    ::testing::Values(
        ValidCase{"varn://local/GitHub/password",
                  {"varn", {}, "local", {}, "/GitHub/password", {}, {}}},
        ValidCase{"varn://local/GitHub/password?attribute=otp#frag",
                  {"varn", {}, "local", {}, "/GitHub/password", "attribute=otp", "frag"}},
        ValidCase{"http://user:pw@example.com:8080/a/b?x=1&y#top",
                  {"http", "user:pw", "example.com", "8080", "/a/b", "x=1&y", "top"}},
        // Hosts that only begin like IPv4 addresses are registered names, kept whole.
        ValidCase{"http://1.2.3.4.evil.com/", {"http", {}, "1.2.3.4.evil.com", {}, "/", {}, {}}},
        ValidCase{"http://10.0.0.1evil.com/", {"http", {}, "10.0.0.1evil.com", {}, "/", {}, {}}},
        ValidCase{"http://10.0.0.1/", {"http", {}, "10.0.0.1", {}, "/", {}, {}}},
        // Empty authority: the host is present and empty.
        ValidCase{"varn:///x/y", {"varn", {}, "", {}, "/x/y", {}, {}}},
        ValidCase{"file:///etc/hosts", {"file", {}, "", {}, "/etc/hosts", {}, {}}},
        ValidCase{"varn://", {"varn", {}, "", {}, "", {}, {}}},
        // Empty port and empty userinfo are allowed.
        ValidCase{"http://host:/", {"http", {}, "host", "", "/", {}, {}}},
        ValidCase{"http://@host", {"http", "", "host", {}, "", {}, {}}},
        ValidCase{"http://:80", {"http", {}, "", "80", "", {}, {}}},
        // IP literals keep their brackets.
        ValidCase{"http://[::1]:8080/x", {"http", {}, "[::1]", "8080", "/x", {}, {}}},
        ValidCase{"http://[2001:db8::7]/", {"http", {}, "[2001:db8::7]", {}, "/", {}, {}}},
        ValidCase{"http://[1:2:3:4:5:6:7:8]", {"http", {}, "[1:2:3:4:5:6:7:8]", {}, "", {}, {}}},
        ValidCase{"http://[::ffff:192.0.2.1]", {"http", {}, "[::ffff:192.0.2.1]", {}, "", {}, {}}},
        ValidCase{"http://[1:2:3:4:5:6:1.2.3.4]",
                  {"http", {}, "[1:2:3:4:5:6:1.2.3.4]", {}, "", {}, {}}},
        ValidCase{"http://[::]", {"http", {}, "[::]", {}, "", {}, {}}},
        ValidCase{"http://[1::]", {"http", {}, "[1::]", {}, "", {}, {}}},
        ValidCase{"http://[1:2:3:4:5:6:7::]", {"http", {}, "[1:2:3:4:5:6:7::]", {}, "", {}, {}}},
        ValidCase{"http://[v1.fe:x]", {"http", {}, "[v1.fe:x]", {}, "", {}, {}}},
        // Percent escapes stay encoded in every component.
        ValidCase{"varn://lo%2Fcal/My%20Item/pass%3fword?a=%26#%23",
                  {"varn", {}, "lo%2Fcal", {}, "/My%20Item/pass%3fword", "a=%26", "%23"}},
        // The scheme keeps its letter case.
        ValidCase{"OTPAUTH://TOTP/x", {"OTPAUTH", {}, "TOTP", {}, "/x", {}, {}}},
        ValidCase{"a+b-c.d:rest", {"a+b-c.d", {}, {}, {}, "rest", {}, {}}},
        // Without authority: absolute, rootless and colon-bearing rootless paths.
        ValidCase{"mailto:a@b.com", {"mailto", {}, {}, {}, "a@b.com", {}, {}}},
        ValidCase{"urn:a:b:c", {"urn", {}, {}, {}, "a:b:c", {}, {}}},
        ValidCase{"x:/abs", {"x", {}, {}, {}, "/abs", {}, {}}},
        ValidCase{"x:", {"x", {}, {}, {}, "", {}, {}}},
        // Relative references.
        ValidCase{"", {{}, {}, {}, {}, "", {}, {}}},
        ValidCase{"a/b:c", {{}, {}, {}, {}, "a/b:c", {}, {}}},
        ValidCase{"/a:b", {{}, {}, {}, {}, "/a:b", {}, {}}},
        ValidCase{"//h/p", {{}, {}, "h", {}, "/p", {}, {}}},
        ValidCase{"?q", {{}, {}, {}, {}, "", "q", {}}},
        ValidCase{"#f", {{}, {}, {}, {}, "", {}, "f"}},
        ValidCase{"varnh_ABC-123", {{}, {}, {}, {}, "varnh_ABC-123", {}, {}}},
        // "?" and "/" may appear in query and fragment; an empty query and fragment are present.
        ValidCase{"s://h?a?b/c#d?e/f", {"s", {}, "h", {}, "", "a?b/c", "d?e/f"}},
        ValidCase{"s://h?#", {"s", {}, "h", {}, "", "", ""}},
        ValidCase{"s://h/a//b/", {"s", {}, "h", {}, "/a//b/", {}, {}}},
        ValidCase{"s://h!$&'()*+,;=/p!$&'()*+,;=:@",
                  {"s", {}, "h!$&'()*+,;=", {}, "/p!$&'()*+,;=:@", {}, {}}}));

class UriInvalidTest : public ::testing::TestWithParam<std::string> {};

TEST_P(UriInvalidTest, IsNotAUriReference) {
  EXPECT_FALSE(parseUriReference(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Rfc3986, UriInvalidTest,
    ::testing::Values(
        // Ports with anything but digits.
        "http://host:80x/", "varn://local:abc/a/b", "http://host:8:0/", "http://host:-1/",
        "http://[::1]x/", "http://[::1]:a/",
        // Characters never allowed raw.
        "http://a.com\\@b.com/", "http://a.com\\b/", "varn://local/My Item/password",
        "varn://local/a|b", "varn://local/a\"b", "varn://local/a<b>", "varn://local/a^b",
        "varn://local/a`b", "varn://local/a{b}", "http://h/\x7f", std::string("http://h/a\0b", 12),
        "http://h/\t", "varn://local/caf\xc3\xa9/x", "varn://caf\xc3\xa9/a/b", "varn://local/a?b c",
        "varn://local/a#b c",
        // Brackets outside an IP literal; "#" twice; "@" twice.
        "varn://local/a[b]/c", "varn://local/a?b[1]", "varn://lo[cal/a", "s://h#a#b",
        "http://a@b@c/",
        // Malformed percent escapes.
        "varn://local/100%/x", "varn://local/%2", "varn://local/%zz", "varn://lo%gal/a",
        "s://h?a=%", "s://h#%g0", "s://u%@h",
        // Bad schemes, and a first segment with ":" but no valid scheme.
        "1http://h/", ":x", "-a:b", "a_b:c", "h\xc3\xa9:x",
        // Malformed IP literals.
        "http://[::1/", "http://[]/", "http://[1:2:3:4:5:6:7:8:9]/", "http://[1:2:3:4:5:6:7]/",
        "http://[1::2::3]/", "http://[12345::]/", "http://[1:2:3:4:5:6:7::8]/", "http://[::1.2.3]/",
        "http://[::1.2.3.256]/", "http://[::01.2.3.4]/", "http://[1.2.3.4::]/",
        "http://[::1%25eth0]/", "http://[g::]/", "http://[:1::]/", "http://[v.x]/", "http://[v1.]/",
        "http://[v1x]/", "http://a[::1]/"));

TEST(PercentDecodeTest, DecodesEscapesOfEitherCase) {
  EXPECT_EQ(percentDecode("My%20Item%2f%2F%41+b"), Opt("My Item//A+b"));
  EXPECT_EQ(percentDecode(""), Opt(""));
  EXPECT_EQ(percentDecode("%00"), Opt(std::string(1, '\0')));
  EXPECT_EQ(percentDecode("%FF%fe"), Opt("\xff\xfe"));
}

TEST(PercentDecodeTest, RejectsMalformedEscapes) {
  for (const char* raw : {"%", "%2", "a%", "%zz", "%2g", "%%41", "%-1"}) {
    EXPECT_EQ(percentDecode(raw), std::nullopt) << raw;
  }
}

TEST(QueryItemsTest, SplitsAtAmpersandAndFirstEquals) {
  const std::vector<QueryItem> expected{{"x", "1"},
                                        {"attribute", "type"},
                                        {"attribute", "bad"},
                                        {"flag", {}},
                                        {"", {}},
                                        {"e", ""},
                                        {"k", "a=b=c"},
                                        {"", "v"},
                                        {"", {}}};
  EXPECT_EQ(queryItems("x=1&attribute=type&attribute=bad&flag&&e=&k=a=b=c&=v&"), expected);
}

TEST(QueryItemsTest, DecodesNamesAndValuesButKeepsPlus) {
  const std::vector<QueryItem> expected{{"a b", "c&d=e+f"}, {"n=", "%"}};
  EXPECT_EQ(queryItems("a%20b=c%26d%3De+f&n%3D=%25"), expected);
}

TEST(QueryItemsTest, EmptyQueryHasNoItems) {
  EXPECT_TRUE(queryItems("").empty());
}

TEST(QueryItemsTest, MalformedEscapeAnywhereGivesNoItems) {
  for (const char* raw : {"a=1&b=%zz", "%2=1&a=2", "attribute=otp&x=%"}) {
    EXPECT_TRUE(queryItems(raw).empty()) << raw;
  }
}

TEST(PercentEncodeTest, KeepsUnreservedAndAllowedBytesOnly) {
  EXPECT_EQ(percentEncode("aZ09-._~", ""), "aZ09-._~");
  EXPECT_EQ(percentEncode("a b/c?d#%", ""), "a%20b%2Fc%3Fd%23%25");
  EXPECT_EQ(percentEncode("a b/c?d#%", "/?#%"), "a%20b/c?d#%");
  EXPECT_EQ(percentEncode("caf\xc3\xa9\\", ""), "caf%C3%A9%5C");
  EXPECT_EQ(percentEncode(std::string("\0\x7f", 2), ""), "%00%7F");
}

TEST(PercentEncodeTest, DecodingRestoresTheText) {
  const std::string text = "issuer: name@host/a?b#c %d\xe2\x80\x94";
  const std::string encoded = percentEncode(text, "!$&'()*+,;=:@/");
  EXPECT_EQ(percentDecode(encoded), Opt(text));
  // The encoded text is always acceptable as a path.
  const std::optional<UriComponents> parsed = parseUriReference("s://h/" + encoded);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->path, "/" + encoded);
}

}  // namespace
}  // namespace varn::support
