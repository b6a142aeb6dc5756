#pragma once

// The content of one vault item as the host application keeps it: a name, labelled fields of a
// kind (possibly concealed), an optional web address, notes, tags, and the optional host and
// command bindings and strict-matching flag that govern where an injected credential may go.
//
// Plain JSON records coded by the record codec (support::encodeRecord / decodeRecord): camel-case
// keys equal to the field names ("allowedHosts", "strictMatch"), fields written in declaration
// order, absent optionals left out and read from a missing key or null, everything else required
// (an empty tags list is written as []), unknown keys ignored. Nothing in the library builds or
// reads them; item encryption (VaultCrypto::encryptItem) takes any bytes.

#include <optional>
#include <string>
#include <vector>

#include "crypto/vault/KeyModels.hpp"
#include "support/JsonRecord.hpp"

namespace varn::crypto {

struct ItemField {
  enum class Kind { username, password, token, text, otp, file, sshPrivateKey, sshPublicKey };

  std::string label{};
  Kind kind = Kind::text;
  std::string value{};
  bool concealed = false;

  bool operator==(const ItemField&) const = default;
};

// The raw texts: the case names, except "ssh_private_key" and "ssh_public_key".
constexpr auto jsonEnumTexts(ItemField::Kind) {
  using Kind = ItemField::Kind;
  return support::EnumTexts<Kind, 8>{{{
      {Kind::username, "username"},
      {Kind::password, "password"},
      {Kind::token, "token"},
      {Kind::text, "text"},
      {Kind::otp, "otp"},
      {Kind::file, "file"},
      {Kind::sshPrivateKey, "ssh_private_key"},
      {Kind::sshPublicKey, "ssh_public_key"},
  }}};
}

VARN_JSON_RECORD(ItemField, "ItemField", VARN_JSON_FIELD(label), VARN_JSON_FIELD(kind),
                 VARN_JSON_FIELD(value), VARN_JSON_FIELD(concealed));

struct ItemPayload {
  std::string name{};
  std::vector<ItemField> fields{};
  std::optional<std::string> url{};
  std::optional<std::string> notes{};
  std::vector<std::string> tags{};
  std::optional<std::vector<std::string>> allowedHosts{};
  std::optional<std::vector<std::string>> allowedCommands{};
  std::optional<bool> strictMatch{};

  // Lists compare element by element, in order.
  bool operator==(const ItemPayload&) const = default;
};

VARN_JSON_RECORD(ItemPayload, "ItemPayload", VARN_JSON_FIELD(name), VARN_JSON_FIELD(fields),
                 VARN_JSON_FIELD(url), VARN_JSON_FIELD(notes), VARN_JSON_FIELD(tags),
                 VARN_JSON_FIELD(allowedHosts), VARN_JSON_FIELD(allowedCommands),
                 VARN_JSON_FIELD(strictMatch));

}  // namespace varn::crypto
