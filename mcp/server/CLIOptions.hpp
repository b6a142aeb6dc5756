#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varn::mcp {

// The three settings of the agent-access server that come from outside: the vault's socket path,
// the name of a keychain item for a token, and the port of the browser's debugging endpoint,
// which is opened only when the operator asks for it.
// An immutable value once parsed; safe to copy and share between threads.
struct CLIOptions {
  std::string socketPath;
  std::string tokenKeychainItem;
  // The "--cdp-port" value, when one was taken.
  std::optional<std::int64_t> cdpPort;

  bool operator==(const CLIOptions&) const = default;

  // Builds the options from the command-line arguments (program name already removed) and the
  // process environment. Never fails: anything unrecognised is ignored.
  //
  // "--socket" <path> (leading tilde expanded, not trimmed), "--token-keychain-item" <name>
  // (unchanged) and "--cdp-port" <decimal integer> each take the next argument; a later
  // occurrence replaces an earlier one. A "--cdp-port" value that is not a decimal integer is
  // left to be examined as an argument in its own right. Without "--socket", VARN_SOCKET trimmed
  // of spaces and tabs (line breaks kept) gives the path, tilde expanded, unless it is blank.
  // Reads the home folder ($HOME, else the password database) for tilde expansion.
  [[nodiscard]] static CLIOptions parse(const std::vector<std::string>& arguments,
                                        const std::map<std::string, std::string>& environment);

  // UnixSocketVaultClient::defaultPath(), computed on the first call and then kept for the life
  // of the process. Thread-safe.
  static const std::string& defaultSocketPath();

  static constexpr std::string_view defaultTokenKeychainItem = "com.kelvane.varn.mcp.token";
};

}  // namespace varn::mcp
