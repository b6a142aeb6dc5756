#include "api/models/CryptoParamsDTO.hpp"

#include <cmath>
#include <optional>

namespace varn::api {
namespace {

JSONValue envelopeObject(std::int64_t version) {
  return JSONValue::object({{"envelope_version", JSONValue::integer(version)}});
}

}  // namespace

CryptoParamsDTO::CryptoParamsDTO() : value(envelopeObject(1)) {}

CryptoParamsDTO::CryptoParamsDTO(std::int64_t envelope_version)
    : value(envelopeObject(envelope_version)) {}

CryptoParamsDTO CryptoParamsDTO::fromRawJSON(std::string_view text) {
  CryptoParamsDTO out;
  std::optional<support::Json> parsed = support::parseJson(text);
  if (!parsed) return out;
  try {
    out.value = JSONValue::fromJson(*parsed);
  } catch (const support::JsonDecodeError&) {
    // Falls back to the parameters made above, as for text that is not JSON.
  }
  return out;
}

std::string CryptoParamsDTO::rawJSON() const {
  try {
    return value.toSortedJson().dump();
  } catch (const std::exception&) {
    // A non-finite double, or text that is not UTF-8 (nlohmann's dump refuses it).
    return "{}";
  }
}

std::int64_t CryptoParamsDTO::envelopeVersion() const {
  const auto* members = std::get_if<JSONValue::Object>(&value.payload);
  if (members == nullptr) return 1;
  auto member = members->find("envelope_version");
  if (member == members->end()) return 1;
  if (const auto* integer = std::get_if<std::int64_t>(&member->second.payload)) return *integer;
  if (const auto* number = std::get_if<double>(&member->second.payload)) {
    if (std::isfinite(*number) && *number >= -0x1p63 && *number < 0x1p63) {
      return static_cast<std::int64_t>(*number);  // truncates toward zero
    }
  }
  return 1;
}

}  // namespace varn::api
