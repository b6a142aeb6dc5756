#include "mcp/secrets/VarnRef.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <variant>

namespace varn::mcp {

// Readable failure output; references and attribute texts are never secret values.
void PrintTo(const VarnRefError& error, std::ostream* os) {
  *os << error.what();
}
void PrintTo(const VarnRef& ref, std::ostream* os) {
  *os << '{' << ref.collection << " | " << ref.item << " | " << ref.field << " | "
      << toString(ref.attribute) << " | " << ref.raw << '}';
}
void PrintTo(const VarnRef::ItemRef& ref, std::ostream* os) {
  *os << '{' << ref.collection << " | " << ref.item << " | " << ref.field.value_or("(none)") << '}';
}

namespace {

using Attribute = VarnRef::Attribute;

struct Accepted {
  std::string collection;
  std::string item;
  std::string field;
  Attribute attribute;
};

struct ParseCase {
  std::string text;
  std::variant<Accepted, VarnRefError> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class VarnRefParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(VarnRefParseTest, ParsesOrFailsWithTheExactError) {
  const ParseCase& c = GetParam();
  if (const auto* accepted = std::get_if<Accepted>(&c.expected)) {
    const VarnRef expected{accepted->collection, accepted->item, accepted->field,
                           accepted->attribute, c.text};
    EXPECT_EQ(VarnRef::parse(c.text), expected);
    return;
  }
  const auto& error = std::get<VarnRefError>(c.expected);
  try {
    (void)VarnRef::parse(c.text);
    ADD_FAILURE() << "accepted";
  } catch (const VarnRefError& thrown) {
    EXPECT_EQ(thrown, error);
    EXPECT_STREQ(thrown.what(), error.what());
  }
}

const VarnRefError kScheme = VarnRefError::invalidScheme();
const VarnRefError kMalformed = VarnRefError::malformed();
VarnRefError badAttribute(std::string value) {
  return VarnRefError::invalidAttribute(std::move(value));
}

INSTANTIATE_TEST_SUITE_P(
    References, VarnRefParseTest,
    ::testing::Values(
        ParseCase{"varn://local/GitHub/password",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        ParseCase{"varn://local/GitHub/password?attribute=otp",
                  Accepted{"local", "GitHub", "password", Attribute::otp}},
        ParseCase{"varn://local/GitHub/password?attribute=type",
                  Accepted{"local", "GitHub", "password", Attribute::type}},
        ParseCase{"varn://local/GitHub/password?attribute=value",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        ParseCase{"varn://local/GitHub/password?attribute=OTP", badAttribute("OTP")},
        ParseCase{"varn://local/GitHub/password?attribute", badAttribute("")},
        ParseCase{"varn://local/GitHub/password?attribute=", badAttribute("")},
        ParseCase{"varn://local/GitHub/password?attribute=%20otp", badAttribute(" otp")},
        ParseCase{"varn://local/GitHub/password?x=1&attribute=type&attribute=bad",
                  Accepted{"local", "GitHub", "password", Attribute::type}},
        // Other items, an item named in another case and an empty query leave the default.
        ParseCase{"varn://local/GitHub/password?Attribute=otp&x",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        ParseCase{"varn://local/GitHub/password?",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        ParseCase{"varn://local/GitHub/password?%61ttribute=%6ftp",
                  Accepted{"local", "GitHub", "password", Attribute::otp}},
        // User information, port and fragment are ignored.
        ParseCase{"varn://me:pw@local:99/GitHub/password#attribute=bad",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        ParseCase{"varn://local/GitHub/password#x?attribute=bad",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        // Scheme: exactly "varn".
        ParseCase{"VARN://local/GitHub/password", kScheme},
        ParseCase{"file://local/GitHub/password", kScheme},
        ParseCase{"varnh_0F8C4E9A-2D6B-4A71-9E3F-5B1C7D2A8E64", kScheme},
        ParseCase{"//local/GitHub/password", kScheme}, ParseCase{"", kScheme},
        // An invalid port fails the URI, and escaping does not mend it.
        ParseCase{"varn://local:abc/a/b", kScheme},
        ParseCase{"varn://local:80x/GitHub/password", kScheme},
        // Brackets and "%" are kept by the retry, so they still fail outside their places.
        ParseCase{"varn://local/a[b]/c", kScheme}, ParseCase{"varn://local/100%/x", kScheme},
        // Invalid UTF-8 cannot be escaped as text.
        ParseCase{"varn://local/a\xff/b", kScheme},
        // Scheme before host before path before attribute.
        ParseCase{"file:///GitHub?attribute=bad", kScheme},
        ParseCase{"varn:///GitHub/password", kMalformed}, ParseCase{"varn:///x/y", kMalformed},
        ParseCase{"varn:GitHub/password", kMalformed},
        ParseCase{"varn:///GitHub?attribute=bad", kMalformed},
        ParseCase{"varn://local/GitHub?attribute=bad", kMalformed},
        ParseCase{"varn://local/GitHub", kMalformed}, ParseCase{"varn://local", kMalformed},
        ParseCase{"varn://local/", kMalformed},
        ParseCase{"varn://local/GitHub/password/extra", kMalformed},
        // An escaped "/" is decoded before the path is split.
        ParseCase{"varn://local/Git%2FHub/password", kMalformed},
        // Empty segments are dropped.
        ParseCase{"varn://local//GitHub//password/",
                  Accepted{"local", "GitHub", "password", Attribute::value}},
        // Blanks and other stray characters are escaped and parsed once more.
        ParseCase{"varn://local/My Item/password",
                  Accepted{"local", "My Item", "password", Attribute::value}},
        ParseCase{"varn://local/My%20Item/password",
                  Accepted{"local", "My Item", "password", Attribute::value}},
        ParseCase{"varn://my vault/a|b/c\"d?attribute=otp",
                  Accepted{"my vault", "a|b", "c\"d", Attribute::otp}},
        ParseCase{"varn://local/Caf\xc3\xa9/p\xc3\xa4ss",
                  Accepted{"local", "Caf\xc3\xa9", "p\xc3\xa4ss", Attribute::value}},
        ParseCase{"varn://local/My Item/password?attribute=o tp", badAttribute("o tp")},
        // The retry keeps existing escapes and the fragment.
        ParseCase{"varn://local/My Item/pass%20word",
                  Accepted{"local", "My Item", "pass word", Attribute::value}},
        ParseCase{"varn://local/My Item/password#a b?attribute=bad",
                  Accepted{"local", "My Item", "password", Attribute::value}},
        ParseCase{"varn://lo%2Fcal/GitHub/password",
                  Accepted{"lo/cal", "GitHub", "password", Attribute::value}},
        // Components that decode to bytes that are not UTF-8.
        ParseCase{"varn://lo%FFcal/GitHub/password", kMalformed},
        ParseCase{"varn://local/Git%C3Hub/password", kMalformed},
        ParseCase{"varn://local/GitHub/password?attribute=%FF", kMalformed},
        ParseCase{"varn://local/GitHub/password?x=%C3&attribute=otp", kMalformed}));

TEST(VarnRefTest, RawKeepsTheTextUnchanged) {
  EXPECT_EQ(VarnRef::parse("varn://local/My Item/password").raw, "varn://local/My Item/password");
  EXPECT_EQ(VarnRef::parse("varn://local//a/b/?attribute=otp#f").raw,
            "varn://local//a/b/?attribute=otp#f");
}

TEST(VarnRefTest, ErrorTextsAreTheUserFacingMessages) {
  EXPECT_STREQ(VarnRefError::invalidScheme().what(),
               "ref must use the varn:// scheme, e.g. varn://local/GitHub/password");
  EXPECT_STREQ(VarnRefError::malformed().what(),
               "ref must be varn://<collection>/<item>/<field>, e.g. varn://local/GitHub/password "
               "(secret_list shows every ref)");
  EXPECT_STREQ(VarnRefError::invalidAttribute("OTP").what(),
               "unknown ref attribute 'OTP' \xe2\x80\x94 use type, value, or otp");
  EXPECT_STREQ(VarnRefError::invalidAttribute("").what(),
               "unknown ref attribute '' \xe2\x80\x94 use type, value, or otp");
  EXPECT_EQ(VarnRefError::invalidAttribute("x").errorCase(), VarnRefError::Case::invalidAttribute);
  EXPECT_EQ(VarnRefError::invalidAttribute("x").attribute(), "x");
  EXPECT_NE(VarnRefError::invalidAttribute("x"), VarnRefError::invalidAttribute("y"));
  EXPECT_NE(VarnRefError::invalidScheme(), VarnRefError::malformed());
}

TEST(VarnRefTest, AttributeTextsAreExact) {
  for (const Attribute attribute : {Attribute::type, Attribute::value, Attribute::otp}) {
    EXPECT_EQ(fromString<Attribute>(toString(attribute)), attribute);
  }
  EXPECT_EQ(toString(Attribute::type), "type");
  EXPECT_EQ(toString(Attribute::value), "value");
  EXPECT_EQ(toString(Attribute::otp), "otp");
  for (const char* text : {"Type", "VALUE", "OTP", " otp", "otp ", ""}) {
    EXPECT_EQ(fromString<Attribute>(text), std::nullopt) << text;
  }
}

struct ItemCase {
  std::string text;
  std::variant<VarnRef::ItemRef, VarnRefError> expected;
};

void PrintTo(const ItemCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class VarnRefItemTest : public ::testing::TestWithParam<ItemCase> {};

TEST_P(VarnRefItemTest, ParsesOrFailsWithTheExactError) {
  const ItemCase& c = GetParam();
  if (const auto* accepted = std::get_if<VarnRef::ItemRef>(&c.expected)) {
    EXPECT_EQ(VarnRef::parseItemRef(c.text), *accepted);
    return;
  }
  try {
    (void)VarnRef::parseItemRef(c.text);
    ADD_FAILURE() << "accepted";
  } catch (const VarnRefError& thrown) {
    EXPECT_EQ(thrown, std::get<VarnRefError>(c.expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    References, VarnRefItemTest,
    ::testing::Values(
        ItemCase{"varn://local/GitHub", VarnRef::ItemRef{"local", "GitHub", std::nullopt}},
        ItemCase{"varn://local/GitHub/password", VarnRef::ItemRef{"local", "GitHub", "password"}},
        ItemCase{"varn://local//My Item//", VarnRef::ItemRef{"local", "My Item", std::nullopt}},
        // The query is not examined.
        ItemCase{"varn://local/GitHub?attribute=bad&x=%FF",
                 VarnRef::ItemRef{"local", "GitHub", std::nullopt}},
        ItemCase{"varn://local/GitHub/password/extra", kMalformed},
        ItemCase{"varn://local", kMalformed}, ItemCase{"varn://local/", kMalformed},
        ItemCase{"varn:///GitHub", kMalformed}, ItemCase{"varn:///x/y", kMalformed},
        ItemCase{"VARN://local/GitHub", kScheme}, ItemCase{"varn://local:abc/a/b", kScheme},
        ItemCase{"varnh_ABC", kScheme}));

}  // namespace
}  // namespace varn::mcp
