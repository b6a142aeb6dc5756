#include "api/models/WrappedKeyDTO.hpp"

#include <gtest/gtest.h>

#include "api/core/APIError.hpp"
#include "api/core/WireCoding.hpp"

namespace varn::api {
namespace {

using crypto::KdfParams;
using crypto::UnlockMethod;
using crypto::WrappedKey;

TEST(WrappedKeyDTOTest, WritesTheWireNameTheBytesAndTheKdfParameters) {
  const struct {
    WrappedKey key;
    std::string json;
  } cases[] = {
      {{UnlockMethod::recoveryCode, KdfParams::argon2id({0, 1, 2}, 65536, 3, 4), {0xFB, 0xFF}},
       R"({"method":"recovery_code","wrapped":"-_8","kdf_params":{"kind":"argon2id",)"
       R"("salt":"AAEC","memoryKiB":65536,"iterations":3,"parallelism":4}})"},
      {{UnlockMethod::secureEnclave, std::nullopt, {}},
       R"({"method":"secure_enclave","wrapped":""})"},
      {{UnlockMethod::prf, KdfParams::hkdfSha256({9}, "label"), {1}},
       R"({"method":"prf","wrapped":"AQ","kdf_params":{"kind":"hkdfSha256","salt":"CQ==",)"
       R"("memoryKiB":0,"iterations":0,"parallelism":0,"info":"label"}})"},
      {{UnlockMethod::passphrase, std::nullopt, {1, 2}},
       R"({"method":"passphrase","wrapped":"AQI"})"},
      {{UnlockMethod::escrow, std::nullopt, {1, 2, 3}}, R"({"method":"escrow","wrapped":"AQID"})"},
  };
  for (const auto& c : cases) {
    WrappedKeyDTO dto(c.key);
    EXPECT_EQ(encodeBody(dto), c.json);
    EXPECT_EQ(dto.toModel(), c.key) << c.json;
    EXPECT_EQ(decodeReply<WrappedKeyDTO>(c.json), dto);
  }
}

TEST(WrappedKeyDTOTest, ToModelChecksTheBytesFirstThenTheMethod) {
  const struct {
    std::string method;
    std::string wrapped;
    std::optional<std::string> error;
  } cases[] = {
      {"prf", "_w", std::nullopt},
      {"prf", "_w==", std::nullopt},
      {"secureEnclave", "AQ", "unknown unlock method secureEnclave"},
      {"", "AQ", "unknown unlock method "},
      {"Recovery_code", "AQ", "unknown unlock method Recovery_code"},
      {"prf", "AQIDB", "wrapped"},  // five characters
      {"prf", "A Q", "wrapped"},
      {"nope", "AQIDB", "wrapped"},
  };
  for (const auto& c : cases) {
    WrappedKeyDTO dto;
    dto.method = c.method;
    dto.wrapped = c.wrapped;
    if (!c.error) {
      EXPECT_EQ(dto.toModel().wrapped, crypto::Bytes{0xFF});
      continue;
    }
    try {
      (void)dto.toModel();
      ADD_FAILURE() << c.method << " " << c.wrapped;
    } catch (const APIError& error) {
      EXPECT_EQ(error, APIError::decoding(*c.error));
    }
  }
}

TEST(WrappedKeyDTOTest, WireNamesMapBothWays) {
  for (UnlockMethod method : crypto::kAllUnlockMethods) {
    EXPECT_EQ(WireMethod::method(WireMethod::wireName(method)), method);
  }
}

}  // namespace
}  // namespace varn::api
