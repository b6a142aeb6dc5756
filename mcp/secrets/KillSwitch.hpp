#pragma once

#include <exception>
#include <map>
#include <string>

namespace varn::mcp {

// The kill switch's own error; the resolve road reads isActive() instead and throws
// ResolveError::killSwitchActive.
class KillSwitchError : public std::exception {
 public:
  enum class Case { active };

  static KillSwitchError active() { return KillSwitchError(); }
  Case errorCase() const noexcept { return Case::active; }
  const char* what() const noexcept override { return "active"; }
  bool operator==(const KillSwitchError&) const noexcept { return true; }

 private:
  KillSwitchError() = default;
};

// Refuses every automated release of a secret for the life of the process when the environment
// variable VARN_MCP_KILL_SWITCH, lower-cased and not trimmed, is "1", "true" or "yes".
// Read once at construction; an immutable value, safe to copy and share between threads.
class KillSwitch final {
 public:
  // `environment` is the process environment as a map from name to value.
  explicit KillSwitch(const std::map<std::string, std::string>& environment);

  // True when automated access is switched off.
  [[nodiscard]] bool isActive() const noexcept { return isActive_; }

  // Throws KillSwitchError::active() when the switch is on.
  void ensureEnabled() const;

 private:
  bool isActive_;
};

}  // namespace varn::mcp
