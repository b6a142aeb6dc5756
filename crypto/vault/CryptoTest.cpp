#include "crypto/vault/Crypto.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "crypto/vault/testing/Failure.hpp"

namespace varn::crypto {
namespace {

using support::Uuid;

template <typename Container>
std::string toHex(const Container& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : std::span<const std::uint8_t>(bytes.data(), bytes.size())) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

Bytes run(std::uint8_t first, std::uint8_t last) {
  Bytes out;
  for (int b = first; b <= last; ++b) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes text(std::string_view t) {
  return Bytes(t.begin(), t.end());
}

using fakes::failureOf;

TEST(CryptoTest, Sha256ReproducesFips180Vectors) {
  EXPECT_EQ(toHex(Crypto::sha256({})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(toHex(Crypto::sha256(text("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(toHex(Crypto::sha256(text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(toHex(Crypto::sha256(Bytes(1'000'000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(CryptoTest, HkdfSha256ReproducesRfc5869Vectors) {
  struct Case {
    Bytes ikm, salt, info;
    const char* okm;  // the first 32 bytes of the RFC's output
  } cases[] = {
      {Bytes(22, 0x0b), run(0x00, 0x0c), run(0xf0, 0xf9),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"},
      {run(0x00, 0x4f), run(0x60, 0xaf), run(0xb0, 0xff),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c"},
      {Bytes(22, 0x0b), {}, {}, "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"},
  };
  for (const Case& c : cases) EXPECT_EQ(toHex(Crypto::hkdfSha256(c.ikm, c.salt, c.info)), c.okm);
  EXPECT_EQ(Crypto::hkdfSha256({}, {}, {}).size(), 32u);
}

TEST(CryptoTest, Argon2idUsesOneLaneAndIgnoresTheStoredParallelism) {
  const KdfParams params = KdfParams::argon2id(run(0, 15), 65536, 3, 4);
  const std::string key = toHex(Crypto::argon2id(text("correct horse"), params));
  EXPECT_EQ(key.substr(0, 8), "e3c889ca");
  EXPECT_EQ(key.substr(58), "50b0fd");
  KdfParams otherLanes = params;
  otherLanes.parallelism = 1;
  otherLanes.info = "ignored";
  EXPECT_EQ(toHex(Crypto::argon2id(text("correct horse"), otherLanes)), key);
}

TEST(CryptoTest, Argon2idRefusesHostileOrMalformedParametersBeforeAnyWork) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const KdfParams ok = KdfParams::argon2id(run(0, 15), 8, 1, 1);
  auto with = [&](auto change) {
    KdfParams p = ok;
    change(p);
    return p;
  };
  const KdfParams refused[] = {
      with([](KdfParams& p) { p.kind = KdfParams::Kind::hkdfSha256; }),
      with([](KdfParams& p) { p.salt.pop_back(); }),
      with([](KdfParams& p) { p.salt.push_back(0); }),
      with([](KdfParams& p) { p.memoryKiB = 4'194'305; }),
      with([](KdfParams& p) { p.memoryKiB = kMax; }),
      with([](KdfParams& p) { p.memoryKiB = kMax / 1024 + 1; }),
      with([](KdfParams& p) { p.memoryKiB = -65536; }),
      with([](KdfParams& p) { p.memoryKiB = 0; }),
      with([](KdfParams& p) { p.memoryKiB = 7; }),  // below libsodium's floor: it refuses
      with([](KdfParams& p) { p.iterations = 65; }),
      with([](KdfParams& p) { p.iterations = std::int64_t{1} << 32; }),
      with([](KdfParams& p) { p.iterations = 0; }),
      with([](KdfParams& p) { p.iterations = -1; }),
  };
  for (const KdfParams& p : refused) {
    EXPECT_EQ(failureOf([&] { (void)Crypto::argon2id(text("pw"), p); }), "kdfFailed")
        << p.memoryKiB << " " << p.iterations;
  }
  EXPECT_EQ(Crypto::argon2id(text("pw"), ok).size(), 32u);
}

TEST(CryptoTest, FingerprintIsTheGroupedDigestPrefix) {
  EXPECT_EQ(Crypto::fingerprint({}, {}), "E3B0 C442 98FC 1C14 9AFB");
  const Bytes a(32, 1), b(32, 2);
  const std::string ab = Crypto::fingerprint(a, b);
  EXPECT_EQ(ab.size(), 24u);
  EXPECT_NE(ab, Crypto::fingerprint(b, a));
}

TEST(CryptoTest, NormalizeCodeUpperCasesAndDropsOnlyDashesAndSpaces) {
  auto normalized = [](std::string_view code) {
    SecretBytes bytes = Crypto::normalizeCode(code);
    return std::string(bytes.data(), bytes.data() + bytes.size());
  };
  EXPECT_EQ(normalized("abcd-efgh ijkl"), "ABCDEFGHIJKL");
  EXPECT_EQ(normalized("ab\tc\nd"), "AB\tC\nD");
  EXPECT_EQ(normalized("straße-ı"), "STRASSEI");
  EXPECT_EQ(normalized(" - "), "");
}

TEST(CryptoTest, WrapIsFortyBytesLongerAndOpensOnlyWithItsKeyAndData) {
  const SecretBytes kek = Crypto::randomSecret(32);
  const Bytes aad = text("aad");
  for (std::size_t n : {0u, 1u, 32u, 1000u}) {
    const Bytes plain = Crypto::randomBytes(n);
    const Bytes envelope = Crypto::wrap(plain, kek, aad);
    ASSERT_EQ(envelope.size(), n + 40);
    const SecretBytes opened = Crypto::unwrap(envelope, kek, aad);
    EXPECT_EQ(Bytes(opened.data(), opened.data() + opened.size()), plain);
    EXPECT_NE(Crypto::wrap(plain, kek, aad), envelope);  // a fresh nonce each time
  }
  const Bytes envelope = Crypto::wrap(text("secret"), kek, aad);
  for (std::size_t i = 0; i < envelope.size(); ++i) {
    Bytes altered = envelope;
    altered[i] ^= 0x01;
    EXPECT_EQ(failureOf([&] { (void)Crypto::unwrap(altered, kek, aad); }), "decryptFailed") << i;
  }
  const struct {
    const char* what;
    std::function<void()> call;
    const char* error;
  } cases[] = {
      {"no aad", [&] { (void)Crypto::unwrap(envelope, kek); }, "decryptFailed"},
      {"other aad", [&] { (void)Crypto::unwrap(envelope, kek, text("aae")); }, "decryptFailed"},
      {"other key", [&] { (void)Crypto::unwrap(envelope, Crypto::randomSecret(32), aad); },
       "decryptFailed"},
      {"39 bytes", [&] { (void)Crypto::unwrap(Bytes(39), kek); }, "decryptFailed"},
      {"truncated", [&] { (void)Crypto::unwrap(std::span(envelope).first(45), kek, aad); },
       "decryptFailed"},
      {"31-byte key", [&] { (void)Crypto::unwrap(envelope, Bytes(31), aad); }, "invalidInput"},
      {"33-byte key, short envelope", [&] { (void)Crypto::unwrap(Bytes(3), Bytes(33)); },
       "invalidInput"},
      {"wrap, 31-byte key", [&] { (void)Crypto::wrap(text("x"), Bytes(31)); }, "invalidInput"},
      {"seal, 31-byte key", [&] { (void)Crypto::seal(text("x"), Bytes(31)); }, "wrapFailed"},
      {"seal, 33-byte key", [&] { (void)Crypto::seal(text("x"), Bytes(33)); }, "wrapFailed"},
  };
  for (const auto& c : cases) EXPECT_EQ(failureOf(c.call), c.error) << c.what;
}

TEST(CryptoTest, SealIsFortyEightBytesLongerAndKeyPairsHaveTheirSizes) {
  const Crypto::AccountKeypair pair = Crypto::generateAccountKeypair();
  EXPECT_EQ(pair.x25519Pub.size(), 32u);
  EXPECT_EQ(pair.x25519Priv.size(), 32u);
  EXPECT_EQ(pair.ed25519Pub.size(), 32u);
  EXPECT_EQ(pair.ed25519Priv.size(), 64u);
  EXPECT_EQ(Crypto::seal(Bytes(32), pair.x25519Pub).size(), 80u);
  EXPECT_EQ(Crypto::seal({}, pair.x25519Pub).size(), 48u);
  EXPECT_NE(Crypto::randomBytes(32), Crypto::randomBytes(32));
}

TEST(CryptoTest, ItemAssociatedDataIsTheVersionThenTheUuidBytes) {
  EXPECT_EQ(toHex(Crypto::itemAAD(1, Uuid())), "00000001" + std::string(32, '0'));
  EXPECT_EQ(
      toHex(Crypto::itemAAD(0xA1B2C3D4, *Uuid::parse("00112233-4455-6677-8899-aabbccddeeff"))),
      "a1b2c3d400112233445566778899aabbccddeeff");
}

}  // namespace
}  // namespace varn::crypto
