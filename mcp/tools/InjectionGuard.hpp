#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/secrets/ResolvedSecret.hpp"

namespace varn::mcp {

// Decides whether a released credential may be injected into a destination: the host of an
// outbound HTTP request or the command line of a child process. A credential with non-blank
// bindings of the kind checked goes only where one of them allows; one without goes anywhere only
// when the operator switched on unbound injection. Refusals are ResolveError::unbound and
// ResolveError::destinationNotAllowed. The secret's value is never looked at.
//
// A binding entry is blank when nothing is left after trimming spaces and tabs (white space, not
// line breaks); blank entries are ignored and an absent list counts as an empty one.
//
// Static operations only; pure and safe from any thread.
class InjectionGuard final {
 public:
  InjectionGuard() = delete;

  // The environment switch that allows injecting credentials without bindings.
  static constexpr const char* allowUnboundEnvKey = "VARN_ALLOW_UNBOUND_INJECTION";

  // True when the switch in `environment` (name to value), lower-cased and not trimmed, is "1",
  // "true" or "yes"; an absent variable counts as the empty text. Never fails.
  [[nodiscard]] static bool allowUnbound(const std::map<std::string, std::string>& environment);

  // Allows `targetHost` when an entry of `allowedHosts`, trimmed and lower-cased, equals the
  // lower-cased host, or when both have a registrable domain and the two are equal, by the
  // built-in table and by the system's public suffix list alike; an entry may be a URL. Without
  // non-blank entries allows anything when `allowUnbound`, else throws ResolveError::unbound(ref,
  // tool, "allowed_hosts"), `tool` being the caller's name. Throws
  // ResolveError::destinationNotAllowed(ref, targetHost) with the host as passed when no entry
  // allows it.
  static void checkHost(const ResolvedSecret& secret, std::string_view targetHost,
                        std::string_view ref, std::string_view tool, bool allowUnbound);

  // Allows `argv` when its elements joined with single blanks begin with a trimmed entry of
  // `allowedCommands` (a plain, case-sensitive text prefix). Without non-blank entries allows
  // anything when `allowUnbound`, else throws ResolveError::unbound(ref, tool,
  // "allowed_commands"). Throws ResolveError::destinationNotAllowed(ref, argv[0] or "") when no
  // entry allows the command.
  static void checkCommand(const ResolvedSecret& secret, const std::vector<std::string>& argv,
                           std::string_view ref, std::string_view tool, bool allowUnbound);
};

}  // namespace varn::mcp
