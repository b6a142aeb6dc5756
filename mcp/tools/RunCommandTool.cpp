#include "mcp/tools/RunCommandTool.hpp"

#include <algorithm>

#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/tools/InjectionGuard.hpp"
#include "support/ChildProcess.hpp"
#include "support/Utf8.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {
namespace {

using support::wipe;

bool holdsNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// Wipes the values that carry secrets however the call ends.
class SecretCopies {
 public:
  SecretCopies() = default;
  SecretCopies(const SecretCopies&) = delete;
  SecretCopies& operator=(const SecretCopies&) = delete;
  ~SecretCopies() {
    for (std::string* text : held_) wipe(*text);
  }
  void hold(std::string& text) { held_.push_back(&text); }

 private:
  std::vector<std::string*> held_;
};

std::string streamText(const std::string& bytes, bool injected, const Scrubber& scrubber) {
  if (!support::isValidUtf8(bytes) || bytes.empty()) return "";
  return injected ? std::string(RunCommandTool::suppressedOutput) : scrubber.scrub(bytes);
}

}  // namespace

RunCommandTool::RunCommandTool(const ToolServices& services, std::string name)
    : name_(std::move(name)),
      resolver_(services.resolver),
      allowUnbound_(services.allowUnboundCommand) {}

RunCommandOutput RunCommandTool::run(const Input& input) const {
  if (input.argv.empty()) throw ToolError::invalidArguments("argv must not be empty");
  // C strings end at a NUL, and a name holding "=" would set another variable than the one named
  // (such as LD_PRELOAD), so the binding check would no longer cover what the child runs.
  if (std::any_of(input.argv.begin(), input.argv.end(), holdsNul)) {
    throw ToolError::invalidArguments("argv must not contain NUL");
  }
  if (input.cwd && holdsNul(*input.cwd)) {
    throw ToolError::invalidArguments("cwd must not contain NUL");
  }
  if (input.env_refs) {
    for (const auto& [name, ref] : *input.env_refs) {
      if (name.empty() || name.find('=') != std::string::npos || holdsNul(name)) {
        throw ToolError::invalidArguments(
            "env_refs names must not be empty or contain \"=\" or NUL");
      }
    }
  }

  std::map<std::string, std::string> environment = support::processEnvironment();
  std::string commandText;
  for (std::size_t i = 0; i < input.argv.size(); ++i) {
    if (i > 0) commandText += ' ';
    commandText += input.argv[i];
  }

  // Declared before the guard that wipes what they hold, so they outlive its wiping.
  support::ChildCommand command{input.argv.front(), input.argv, {}, input.cwd};
  std::vector<ResolvedSecret> resolved;
  SecretCopies secrets;
  bool injected = false;
  if (input.env_refs) {
    // Each reference once, however many names it goes under; all released or none.
    std::vector<std::string> refs;
    for (const auto& [name, ref] : *input.env_refs) {
      if (std::find(refs.begin(), refs.end(), ref) == refs.end()) refs.push_back(ref);
    }
    resolved = resolver_->resolveAll(refs, name_, commandText);
    for (ResolvedSecret& secret : resolved) secrets.hold(secret.value);
    for (std::size_t i = 0; i < refs.size(); ++i) {
      InjectionGuard::checkCommand(resolved[i], input.argv, refs[i], name_, allowUnbound_);
    }
    for (const auto& [name, ref] : *input.env_refs) {
      const auto index =
          static_cast<std::size_t>(std::find(refs.begin(), refs.end(), ref) - refs.begin());
      std::string& slot = environment[name];
      slot = resolved[index].value;
      secrets.hold(slot);
      injected = true;
    }
  }

  command.environment.reserve(environment.size());
  for (const auto& [name, value] : environment) {
    command.environment.push_back(name + "=" + value);
    secrets.hold(command.environment.back());
  }
  support::ChildOutput child = support::runChild(command, kMaxStreamBytes);

  if (child.outOverflowed) throw ToolError::upstream("stdout exceeds the 1 MiB limit");
  if (child.errOverflowed) throw ToolError::upstream("stderr exceeds the 1 MiB limit");
  return RunCommandOutput{child.status, streamText(child.out, injected, scrubber_),
                          streamText(child.err, injected, scrubber_)};
}

}  // namespace varn::mcp
