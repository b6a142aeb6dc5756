#include "crypto/vault/KeyModels.hpp"

#include <sodium.h>

#include <algorithm>
#include <utility>

#include "support/Ascii.hpp"
#include "support/Utf8.hpp"

namespace varn::crypto {

KdfParams KdfParams::argon2id(Bytes salt, std::int64_t memoryKiB, std::int64_t iterations,
                              std::int64_t parallelism) {
  return KdfParams{Kind::argon2id, std::move(salt), memoryKiB,
                   iterations,     parallelism,     std::nullopt};
}

KdfParams KdfParams::hkdfSha256(Bytes salt, std::string info) {
  return KdfParams{Kind::hkdfSha256, std::move(salt), 0, 0, 0, std::move(info)};
}

// --- UnlockInput
// ----------------------------------------------------------------------------------

UnlockInput::UnlockInput(Case inputCase, SecretBytes secret, std::optional<KdfParams> kdf)
    : case_(inputCase), secret_(std::move(secret)), kdf_(std::move(kdf)) {}

UnlockInput UnlockInput::passphrase(std::string_view passphrase) {
  return UnlockInput(Case::passphrase, SecretBytes::fromText(passphrase), std::nullopt);
}

UnlockInput UnlockInput::prf(std::span<const std::uint8_t> output, KdfParams kdf) {
  return UnlockInput(Case::prf, SecretBytes(output), std::move(kdf));
}

UnlockInput UnlockInput::recoveryCode(std::string_view code) {
  return UnlockInput(Case::recoveryCode, SecretBytes::fromText(code), std::nullopt);
}

UnlockInput UnlockInput::escrow(std::string_view phrase) {
  return UnlockInput(Case::escrow, SecretBytes::fromText(phrase), std::nullopt);
}

UnlockInput UnlockInput::secureEnclave() {
  return UnlockInput(Case::secureEnclave, SecretBytes(), std::nullopt);
}

UnlockMethod UnlockInput::method() const noexcept {
  switch (case_) {
    case Case::passphrase:
      return UnlockMethod::passphrase;
    case Case::prf:
      return UnlockMethod::prf;
    case Case::recoveryCode:
      return UnlockMethod::recoveryCode;
    case Case::escrow:
      return UnlockMethod::escrow;
    case Case::secureEnclave:
      break;
  }
  return UnlockMethod::secureEnclave;
}

// --- AccountPrivateKeys: the wiped JSON path
// ------------------------------------------------------

namespace {

constexpr std::array<std::string_view, 4> kPrivateKeyNames = {"x25519Pub", "x25519Priv",
                                                              "ed25519Pub", "ed25519Priv"};

constexpr int kBase64 = sodium_base64_VARIANT_ORIGINAL;

std::size_t base64Length(std::size_t bytes) {
  return sodium_base64_ENCODED_LEN(bytes, kBase64) - 1;
}

// A strict JSON reader over a text held in a wiped buffer. It validates the whole text (the
// grammar of RFC 8259, nesting up to support::kMaxJsonDepth) and notes where the values of the
// four private-key names stand, so that only those strings are ever decoded, into wiped buffers.
class PrivateKeysReader {
 public:
  // Where a member's value was seen: not at all, as null, as another type, or as a string token
  // starting at `offset`.
  struct Seen {
    enum class Kind { absent, null, notString, string } kind = Kind::absent;
    std::size_t offset = 0;
  };

  explicit PrivateKeysReader(std::span<const std::uint8_t> text) : text_(text) {}

  // Reads the whole text; false when it is not one JSON object (with surrounding white space).
  bool read() {
    skipSpace();
    if (!objectMembers(1, true)) return false;
    skipSpace();
    return pos_ == text_.size();
  }

  const std::array<Seen, 4>& seen() const noexcept { return seen_; }

  // The string token at `offset`, unescaped, into a wiped buffer; nullopt if it is malformed.
  std::optional<SecretBytes> stringAt(std::size_t offset) {
    pos_ = offset;
    return readString();
  }

 private:
  bool atEnd() const noexcept { return pos_ >= text_.size(); }
  char peek() const noexcept { return atEnd() ? '\0' : static_cast<char>(text_[pos_]); }

  void skipSpace() noexcept {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      ++pos_;
    }
  }

  bool literal(std::string_view word) noexcept {
    if (text_.size() - pos_ < word.size()) return false;
    for (char c : word) {
      if (static_cast<char>(text_[pos_++]) != c) return false;
    }
    return true;
  }

  static int hex(char c) noexcept { return support::hexDigitValue(c); }

  bool hex4(std::uint32_t& out) noexcept {
    if (text_.size() - pos_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = hex(static_cast<char>(text_[pos_++]));
      if (digit < 0) return false;
      out = out * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  static void putUtf8(SecretBytes& out, std::size_t& length, std::uint32_t cp) noexcept {
    std::uint8_t* p = out.data() + length;
    if (cp < 0x80) {
      p[0] = static_cast<std::uint8_t>(cp);
      length += 1;
    } else if (cp < 0x800) {
      p[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
      p[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
      length += 2;
    } else if (cp < 0x10000) {
      p[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
      p[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      p[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
      length += 3;
    } else {
      p[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
      p[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      p[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      p[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
      length += 4;
    }
  }

  // A string token at pos_, unescaped. Its decoded form is never longer than the token, so the
  // buffer is sized by the token and truncated afterwards.
  std::optional<SecretBytes> readString() {
    if (peek() != '"') return std::nullopt;
    const std::size_t start = ++pos_;
    std::size_t end = start;
    while (end < text_.size() && text_[end] != '"') {
      if (text_[end] < 0x20) return std::nullopt;
      end += text_[end] == '\\' ? 2 : 1;
    }
    if (end >= text_.size()) return std::nullopt;
    SecretBytes out(end - start);
    std::size_t length = 0;
    while (pos_ < end) {
      char c = peek();
      ++pos_;
      if (c != '\\') {
        out.data()[length++] = static_cast<std::uint8_t>(c);
        continue;
      }
      char e = peek();
      ++pos_;
      std::uint32_t cp = 0;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          cp = static_cast<std::uint32_t>(e);
          break;
        case 'b':
          cp = '\b';
          break;
        case 'f':
          cp = '\f';
          break;
        case 'n':
          cp = '\n';
          break;
        case 'r':
          cp = '\r';
          break;
        case 't':
          cp = '\t';
          break;
        case 'u': {
          if (!hex4(cp)) return std::nullopt;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
              return std::nullopt;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          break;
        }
        default:
          return std::nullopt;
      }
      if (pos_ > end) return std::nullopt;
      putUtf8(out, length, cp);
    }
    ++pos_;  // the closing quote
    out.truncate(length);
    return out;
  }

  bool number() noexcept {
    auto digits = [&] {
      std::size_t from = pos_;
      while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
      return pos_ > from;
    };
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.') {
      ++pos_;
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digits()) return false;
    }
    return true;
  }

  bool value(int depth) {
    switch (peek()) {
      case '"':
        return readString().has_value();
      case '{':
        return objectMembers(depth + 1, false);
      case '[': {
        if (depth + 1 > support::kMaxJsonDepth) return false;
        ++pos_;
        skipSpace();
        if (peek() == ']') {
          ++pos_;
          return true;
        }
        while (true) {
          skipSpace();
          if (!value(depth + 1)) return false;
          skipSpace();
          if (peek() == ',') {
            ++pos_;
          } else if (peek() == ']') {
            ++pos_;
            return true;
          } else {
            return false;
          }
        }
      }
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  // An object at pos_; at the top level (`top`) the members of the four names are noted.
  bool objectMembers(int depth, bool top) {
    if (depth > support::kMaxJsonDepth || peek() != '{') return false;
    ++pos_;
    skipSpace();
    if (peek() == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      skipSpace();
      std::optional<SecretBytes> name = readString();
      if (!name) return false;
      skipSpace();
      if (peek() != ':') return false;
      ++pos_;
      skipSpace();
      if (top) note(*name);
      if (!value(depth)) return false;
      skipSpace();
      if (peek() == ',') {
        ++pos_;
      } else if (peek() == '}') {
        ++pos_;
        return true;
      } else {
        return false;
      }
    }
  }

  // Records the value at pos_ for a member named `name`; a later duplicate wins.
  void note(const SecretBytes& name) noexcept {
    for (std::size_t i = 0; i < kPrivateKeyNames.size(); ++i) {
      std::string_view want = kPrivateKeyNames[i];
      if (name.size() != want.size() ||
          !std::equal(want.begin(), want.end(), name.data(),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
        continue;
      }
      Seen& seen = seen_[i];
      seen.offset = pos_;
      seen.kind = peek() == '"'   ? Seen::Kind::string
                  : peek() == 'n' ? Seen::Kind::null
                                  : Seen::Kind::notString;
    }
  }

  std::span<const std::uint8_t> text_;
  std::size_t pos_ = 0;
  std::array<Seen, 4> seen_{};
};

}  // namespace

SecretBytes AccountPrivateKeys::toSecretJson() const {
  const std::array<std::span<const std::uint8_t>, 4> values = {x25519Pub, x25519Priv.span(),
                                                               ed25519Pub, ed25519Priv.span()};
  std::size_t total = 2 + 3;  // braces and the three commas
  for (std::size_t i = 0; i < values.size(); ++i) {
    total += kPrivateKeyNames[i].size() + 5 + base64Length(values[i].size());
  }
  SecretBytes out(total + 1);  // sodium_bin2base64 writes a terminating NUL
  std::uint8_t* p = out.data();
  auto put = [&](std::string_view text) { p = std::copy(text.begin(), text.end(), p); };
  put("{");
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) put(",");
    put("\"");
    put(kPrivateKeyNames[i]);
    put("\":\"");
    const std::size_t length = base64Length(values[i].size());
    static const std::uint8_t kNothing = 0;
    sodium_bin2base64(reinterpret_cast<char*>(p), length + 1,
                      values[i].empty() ? &kNothing : values[i].data(), values[i].size(), kBase64);
    p += length;
    put("\"");
  }
  put("}");
  out.truncate(total);
  return out;
}

AccountPrivateKeys AccountPrivateKeys::fromSecretJson(std::span<const std::uint8_t> text) {
  std::string_view view(reinterpret_cast<const char*>(text.data()), text.size());
  PrivateKeysReader reader(text);
  if (!support::isValidUtf8(view) || !reader.read()) {
    throw support::JsonDecodeError("the data is not valid JSON");
  }
  std::array<SecretBytes, 4> decoded;
  for (std::size_t i = 0; i < kPrivateKeyNames.size(); ++i) {
    const PrivateKeysReader::Seen& seen = reader.seen()[i];
    using Kind = PrivateKeysReader::Seen::Kind;
    if (seen.kind == Kind::absent || seen.kind == Kind::null) {
      support::throwMissing(kPrivateKeyNames[i]);
    }
    if (seen.kind == Kind::notString) support::throwWrongType(kPrivateKeyNames[i], "a string");
    std::optional<SecretBytes> base64 = reader.stringAt(seen.offset);
    std::optional<SecretBytes> bytes;
    if (base64) {
      bytes = Base64::decodeSecret(
          std::string_view(reinterpret_cast<const char*>(base64->data()), base64->size()));
    }
    if (!bytes) support::throwWrongType(kPrivateKeyNames[i], "padded standard Base64");
    decoded[i] = std::move(*bytes);
  }
  AccountPrivateKeys keys;
  keys.x25519Pub.assign(decoded[0].data(), decoded[0].data() + decoded[0].size());
  keys.x25519Priv = std::move(decoded[1]);
  keys.ed25519Pub.assign(decoded[2].data(), decoded[2].data() + decoded[2].size());
  keys.ed25519Priv = std::move(decoded[3]);
  return keys;
}

}  // namespace varn::crypto
