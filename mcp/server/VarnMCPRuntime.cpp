#include "mcp/server/VarnMCPRuntime.hpp"

#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "mcp/browser/BrowserManager.hpp"
#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/KillSwitch.hpp"
#include "mcp/secrets/RateLimiter.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/secrets/UnixSocketVaultClient.hpp"
#include "mcp/server/CLIOptions.hpp"
#include "mcp/server/ElicitationCoordinator.hpp"
#include "mcp/server/LineWriter.hpp"
#include "mcp/server/MCPServer.hpp"
#include "mcp/server/MCPTools.hpp"
#include "mcp/server/StdioElicitor.hpp"
#include "mcp/tools/HTTPTransport.hpp"
#include "mcp/tools/InjectionGuard.hpp"
#include "support/Paths.hpp"
#include "support/ProcessGroups.hpp"
#include "support/Utf8.hpp"

extern char** environ;

namespace varn::mcp {
namespace {

// Set once serving has ended: a signal after that is ignored, and main() returns normally.
std::atomic<bool> signalsCancelled{false};

std::map<std::string, std::string> processEnvironment() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    // The first definition of a name is the one getenv() sees.
    environment.emplace(text.substr(0, equals), text.substr(equals + 1));
  }
  return environment;
}

// SIGTERM and SIGINT are ignored and blocked in every thread (threads inherit the mask of the
// thread that starts them, so this runs before any other thread exists); one thread takes them
// with sigwait, which a blocked and ignored signal still reaches, stops the browser and ends the
// process.
// SIGPIPE is ignored for good: a closed standard output must fail a write, not end the server
// without a word. So is SIGXFSZ: a file-size limit (ulimit -f, a quota) reached by the audit trail
// must fail that write with EFBIG, which the trail reports and repairs.
// The thread holds the browser weakly, so that main() still tears it down (and joins its threads)
// after serving; while a signal is handled, its hold keeps the browser alive.
void installSignalHandling(std::weak_ptr<BrowserController> browser) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTERM, &ignore, nullptr);
  sigaction(SIGINT, &ignore, nullptr);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGXFSZ, &ignore, nullptr);

  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGINT);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);

  std::thread([handled, browser = std::move(browser)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&handled, &signal) != 0) continue;
      if (signalsCancelled.load()) continue;
      // The browser is stopped the orderly way, which is bounded (a grace period, then SIGKILL)
      // and deletes its profile; a failure leaves it to the group kill below.
      if (const std::shared_ptr<BrowserController> held = browser.lock()) {
        try {
          held->stop();
        } catch (...) {
        }
      }
      // No child outlives the server: every live child's group is killed first.
      support::ProcessGroups::live().killAll();
      // _exit, not exit: static destructors must not race the threads still serving.
      _exit(128 + signal);
    }
  }).detach();
}

}  // namespace

std::chrono::seconds VarnMCPRuntime::browserIdleWindow(
    const std::map<std::string, std::string>& environment) {
  const auto found = environment.find("VARN_BROWSER_IDLE_SECONDS");
  const std::optional<std::int64_t> seconds =
      found == environment.end() ? std::nullopt : support::parseDecimalInt64(found->second);
  return std::chrono::seconds(seconds.value_or(300));
}

int VarnMCPRuntime::main(int argc, char** argv) {
  // Before any secret exists: other programs of the same user may not read this process's memory
  // (/proc/<pid>/mem, ptrace, core files), as credential agents do. A child starts dumpable again
  // when it executes its program.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

  // Blocks of a mebibyte or more (a long line, its parsed texts, a large reply) are mapped on their
  // own and go back to the system once freed. Left to itself, the allocator raises that bound to
  // the largest block freed so far, and then keeps what a flood of long lines freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);

  // Every line leaves through one writer on standard output.
  auto writer = std::make_shared<LineWriter>(STDOUT_FILENO);

  // Options from the arguments (program name dropped) and the environment.
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const std::map<std::string, std::string> environment = processEnvironment();
  const CLIOptions options = CLIOptions::parse(arguments, environment);

  // The coordinator of approval answers.
  auto coordinator = std::make_shared<ElicitationCoordinator>();

  // The application-support folder (a failure to make it is no failure of the start-up) and
  // the audit trail in it.
  const std::filesystem::path supportFolder =
      std::filesystem::path(support::homeFolder()) / "Library" / "Application Support" / "Varn";
  std::error_code ignored;
  std::filesystem::create_directories(supportFolder, ignored);
  auto audit = std::make_shared<AuditLog>((supportFolder / "mcp-audit.log").string());

  // The handle store, the limiter (60 resolves per 60 s per key) and the kill switch.
  auto tokens = std::make_shared<TokenVault>();
  auto rateLimiter = std::make_shared<RateLimiter>(60, 60.0);
  const KillSwitch killSwitch(environment);

  // Approvals asked of the client through the same line writer, and the one resolve road.
  auto elicitor = std::make_shared<StdioElicitor>(
      [writer](const std::string& line) { return writer->write(line); }, coordinator,
      std::chrono::seconds(300));
  auto vault = std::make_shared<UnixSocketVaultClient>(options.socketPath);
  auto resolver =
      std::make_shared<ResolveService>(vault, elicitor, rateLimiter, killSwitch, audit, tokens);

  // The one browser, reached over its own pipe (and on the debugging port of the options only when
  // one was given), and its controller with the idle window of the environment.
  auto browser = std::make_shared<CDPBrowserController>(
      std::make_shared<BrowserManager>(options.cdpPort), browserIdleWindow(environment));

  // Signals, before serve() starts the first thread.
  installSignalHandling(browser);

  // The tools and the server.
  ToolServices services;
  services.vault = vault;
  services.resolver = resolver;
  services.tokens = tokens;
  services.transport = std::make_shared<CurlTransport>();
  services.allowUnboundHttp = InjectionGuard::allowUnbound(environment);
  services.allowUnboundCommand = InjectionGuard::allowUnbound(environment);
  services.browser = browser;
  const MCPServer server(MCPTools(services), vault, coordinator);

  // Serve until end of input; every reply has been written when serve() returns.
  server.serve(STDIN_FILENO, *writer);

  // The browser goes with the server; a failure to stop it changes nothing about the exit.
  try {
    browser->stop();
  } catch (...) {
  }
  signalsCancelled.store(true);
  return 0;
}

}  // namespace varn::mcp
