#include "mcp/secrets/KillSwitch.hpp"

namespace varn::mcp {
namespace {

// ASCII lower-casing gives the same verdict as full Unicode lower-casing here: no non-ASCII
// character lower-cases into the letters of "true" or "yes" (only KELVIN SIGN and U+0130 map to
// ASCII letters, "k" and "i").
std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

KillSwitch::KillSwitch(const std::map<std::string, std::string>& environment) : isActive_(false) {
  auto found = environment.find("VARN_MCP_KILL_SWITCH");
  if (found == environment.end()) return;
  std::string value = lowerAscii(found->second);
  isActive_ = value == "1" || value == "true" || value == "yes";
}

void KillSwitch::ensureEnabled() const {
  if (isActive_) throw KillSwitchError::active();
}

}  // namespace varn::mcp
