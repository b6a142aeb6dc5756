#include "crypto/vault/ItemPayload.hpp"

#include <gtest/gtest.h>

namespace varn::crypto {
namespace {

std::string decoded(const std::string& json) {
  try {
    return support::dumpCompact(
        support::encodeRecord(support::decodeRecordText<ItemPayload>(json)));
  } catch (const support::JsonDecodeError& error) {
    return "error: " + error.message();
  }
}

TEST(ItemPayloadTest, DecodesStrictlyAndWritesInDeclarationOrder) {
  const std::string field =
      R"({"label":"l","kind":"ssh_private_key","value":"v","concealed":true})";
  struct Case {
    std::string json;
    std::string expected;
  } cases[] = {
      {R"({"tags":[],"fields":[],"name":"n"})", R"({"name":"n","fields":[],"tags":[]})"},
      {R"({"name":"n","fields":[],"url":null,"strictMatch":null,"tags":["b","a"],"x":0})",
       R"({"name":"n","fields":[],"tags":["b","a"]})"},
      {R"({"strictMatch":false,"allowedCommands":[],"allowedHosts":["h"],"tags":[],"notes":"",)"
       R"("url":"u","fields":[)" +
           field + R"(],"name":"n"})",
       R"({"name":"n","fields":[)" + field +
           R"(],"url":"u","notes":"","tags":[],"allowedHosts":["h"],"allowedCommands":[],)"
           R"("strictMatch":false})"},
      {R"({"name":"n","fields":[]})", R"(error: missing required key "tags")"},
      {R"({"name":"n","fields":[],"tags":[],"allowed_hosts":"ignored"})",
       R"({"name":"n","fields":[],"tags":[]})"},
      {R"({"name":"n","fields":[{"label":"l","kind":"sshPrivateKey","value":"v","concealed":true}],)"
       R"("tags":[]})",
       R"(error: fields[0]: key "kind" must be one of "username", "password", "token", "text", )"
       R"("otp", "file", "ssh_private_key", "ssh_public_key")"},
      {R"({"name":"n","fields":[{"label":"l","kind":"otp","value":"v"}],"tags":[]})",
       R"(error: fields[0]: missing required key "concealed")"},
      {R"({"name":"n","fields":[],"tags":[],"strictMatch":"yes"})",
       R"(error: key "strictMatch" must be a boolean)"},
  };
  for (const Case& c : cases) EXPECT_EQ(decoded(c.json), c.expected) << c.json;
}

TEST(ItemPayloadTest, EqualityIsOrderSensitiveAndKindsHaveTheirRawTexts) {
  const ItemField a{"a", ItemField::Kind::username, "u", false};
  const ItemField b{"b", ItemField::Kind::password, "p", true};
  const ItemPayload one{"n", {a, b}, std::nullopt, std::nullopt, {"x", "y"}, {}, {}, {}};
  ItemPayload swapped = one;
  std::swap(swapped.fields[0], swapped.fields[1]);
  EXPECT_NE(one, swapped);
  swapped = one;
  std::swap(swapped.tags[0], swapped.tags[1]);
  EXPECT_NE(one, swapped);
  EXPECT_EQ(toString(ItemField::Kind::sshPublicKey), "ssh_public_key");
  EXPECT_EQ(fromString<ItemField::Kind>("file"), ItemField::Kind::file);
  EXPECT_EQ(fromString<ItemField::Kind>("sshPublicKey"), std::nullopt);
}

}  // namespace
}  // namespace varn::crypto
