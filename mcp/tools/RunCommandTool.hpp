#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/tools/Scrubber.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

class ResolveService;

// Arguments of run_command. JSON keys are the field names; "argv" is required, the others
// optional (absent or null means absent). At most kMaxArgv arguments and kMaxEnvRefs references.
struct RunCommandInput {
  static constexpr std::size_t kMaxArgv = 4096;
  static constexpr std::size_t kMaxEnvRefs = 256;

  std::vector<std::string> argv;  // the executable's path, then its arguments
  // Environment variable name to secret reference (or minted handle).
  std::optional<std::map<std::string, std::string>> env_refs = std::nullopt;
  std::optional<std::string> cwd = std::nullopt;  // the child's working directory

  bool operator==(const RunCommandInput&) const = default;
};
VARN_JSON_RECORD(RunCommandInput, "arguments",
                 VARN_JSON_FIELD(argv).atMost(RunCommandInput::kMaxArgv),
                 VARN_JSON_FIELD(env_refs).atMost(RunCommandInput::kMaxEnvRefs),
                 VARN_JSON_FIELD(cwd));

// Result of run_command; every key always present.
struct RunCommandOutput {
  std::int32_t exit = 0;  // the exit code, or the number of the signal that ended the child
  std::string stdout;     // scrubbed, or the suppression text, or empty
  std::string stderr;     // likewise

  bool operator==(const RunCommandOutput&) const = default;
};
VARN_JSON_RECORD(RunCommandOutput, "output", VARN_JSON_FIELD(exit), VARN_JSON_FIELD(stdout),
                 VARN_JSON_FIELD(stderr));

// run_command: starts one child with stored secrets put into its environment by the server, each
// under the credential's command binding. When any secret was injected, each non-empty output
// stream is replaced by `suppressedOutput`; otherwise both streams come back scrubbed.
//
// The child gets a copy of the server's environment (plus the secrets), /dev/null as standard
// input, only descriptors 0 to 2, an empty signal mask and default SIGINT, SIGTERM, SIGPIPE and
// SIGXFSZ.
// argv[0] is a file path: no PATH search, and a relative one is taken from the server's current
// directory, not from "cwd".
//
// An immutable value; run may be called from many threads at once, each call with its own child.
// `resolver` must not be null and is shared.
class RunCommandTool final {
 public:
  using Input = RunCommandInput;
  using Output = RunCommandOutput;

  static constexpr std::string_view suppressedOutput =
      "[REDACTED: command output suppressed because secret refs were injected]";
  // The most bytes of each output stream that are kept (1 MiB); a child writing more is drained
  // to its end and the call fails.
  static constexpr std::size_t kMaxStreamBytes = 1024 * 1024;

  // Over the resolve service of `services`, injecting unbound credentials as `allowUnboundCommand`
  // says; `name` is the tool's, under which the resolve road asks and audits.
  RunCommandTool(const ToolServices& services, std::string name);

  // Resolves the distinct references of env_refs, each once however many names it goes under,
  // all or none (ResolveService::resolveAll: a reference that cannot be released fails the call
  // before any value is), checks each against the command binding, starts the child and returns
  // once it has exited (no time limit; blocks the calling thread throughout).
  // Throws, before anything is resolved:
  //   ToolError::invalidArguments("argv must not be empty");
  //   ToolError::invalidArguments("argv must not contain NUL"), ("cwd must not contain NUL"),
  //     ("env_refs names must not be empty or contain \"=\" or NUL").
  // Then passes on unchanged the resolve road's errors and the guard's refusals (nothing started),
  // and support::ChildStartError when the child cannot be started. After the child has exited,
  // throws ToolError::upstream("stdout exceeds the 1 MiB limit") or ("stderr exceeds the 1 MiB
  // limit") when a stream was longer. A non-zero exit status is no failure.
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::string name_;
  std::shared_ptr<ResolveService> resolver_;
  Scrubber scrubber_;
  bool allowUnbound_;
};

}  // namespace varn::mcp
