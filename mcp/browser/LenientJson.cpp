#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {

using support::Json;

LenientJson LenientJson::operator[](std::string_view key) const noexcept {
  if (!isObject()) return LenientJson();
  const auto found = json_->find(key);
  if (found == json_->end()) return LenientJson();
  return LenientJson(*found);
}

bool LenientJson::has(std::string_view key) const noexcept {
  return isObject() && json_->contains(key);
}

std::string LenientJson::text(std::string_view fallback) const {
  if (json_ == nullptr || !json_->is_string()) return std::string(fallback);
  return json_->get<std::string>();
}

std::optional<std::string> LenientJson::optionalText() const {
  if (json_ == nullptr || !json_->is_string()) return std::nullopt;
  return json_->get<std::string>();
}

std::optional<std::int64_t> LenientJson::integer() const noexcept {
  if (json_ == nullptr || !json_->is_number_integer()) return std::nullopt;
  return json_->get<std::int64_t>();
}

const Json& LenientJson::object() const noexcept {
  static const Json empty = Json::object();
  return isObject() ? *json_ : empty;
}

const Json& LenientJson::array() const noexcept {
  static const Json empty = Json::array();
  return isArray() ? *json_ : empty;
}

bool LenientJson::isObject() const noexcept {
  return json_ != nullptr && json_->is_object();
}

bool LenientJson::isArray() const noexcept {
  return json_ != nullptr && json_->is_array();
}

}  // namespace varn::mcp
