#include "mcp/secrets/KillSwitch.hpp"

#include "support/Ascii.hpp"

namespace varn::mcp {

KillSwitch::KillSwitch(const std::map<std::string, std::string>& environment) : isActive_(false) {
  auto found = environment.find("VARN_MCP_KILL_SWITCH");
  if (found == environment.end()) return;
  // ASCII lower-casing gives the same verdict as full Unicode lower-casing here: no non-ASCII
  // character lower-cases into the letters of "true" or "yes" (only KELVIN SIGN and U+0130 map to
  // ASCII letters, "k" and "i").
  const std::string value = support::asciiLower(found->second);
  isActive_ = value == "1" || value == "true" || value == "yes";
}

void KillSwitch::ensureEnabled() const {
  if (isActive_) throw KillSwitchError::active();
}

}  // namespace varn::mcp
