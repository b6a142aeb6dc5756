#include "mcp/server/CLIOptions.hpp"

#include <cstddef>
#include <string_view>

#include "mcp/secrets/UnixSocketVaultClient.hpp"
#include "support/Paths.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

// Spaces and tabs off both ends, line breaks kept. The environment may hold any bytes; text that
// is not UTF-8 is trimmed of ASCII spaces and tabs only, because the Unicode-aware trim requires
// well-formed input.
std::string trimmedSocketVariable(std::string_view value) {
  if (support::isValidUtf8(value)) return support::trimWhitespace(value);
  std::size_t start = value.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  std::size_t end = value.find_last_not_of(" \t");
  return std::string(value.substr(start, end - start + 1));
}

}  // namespace

const std::string& CLIOptions::defaultSocketPath() {
  static const std::string path = UnixSocketVaultClient::defaultPath();
  return path;
}

CLIOptions CLIOptions::parse(const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment) {
  CLIOptions options{.socketPath = defaultSocketPath(),
                     .tokenKeychainItem = std::string(defaultTokenKeychainItem),
                     .cdpPort = std::nullopt};
  if (auto variable = environment.find("VARN_SOCKET"); variable != environment.end()) {
    std::string trimmed = trimmedSocketVariable(variable->second);
    if (!trimmed.empty()) options.socketPath = support::expandTilde(trimmed);
  }

  // Every option takes a value, so the last argument is never examined: an option there has none.
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::string& value = arguments[i + 1];
    if (argument == "--socket") {
      options.socketPath = support::expandTilde(value);
      ++i;
    } else if (argument == "--token-keychain-item") {
      options.tokenKeychainItem = value;
      ++i;
    } else if (argument == "--cdp-port") {
      // A value that is not a number is not consumed: it may be the next option.
      if (auto port = support::parseDecimalInt64(value)) {
        options.cdpPort = *port;
        ++i;
      }
    }
  }
  return options;
}

}  // namespace varn::mcp
