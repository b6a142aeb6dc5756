#pragma once

// The one dedicated browser process of the server: found, started with a throw-away profile and
// remote debugging on a loopback port, waited for, and stopped again.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"

namespace varn::mcp {

// Owns the browser process and its profile folder "varn-browser-<UPPER-CASE UUID>" (mode 0700)
// in the temporary folder. The folder holds an owner record (this server's pid and start time,
// the browser's pid and start time, the boot id), by which a later start of any server sweeps
// what crashed runs left behind without touching another live server's browser or folder.
//
// The browser is started through support's ChildProcess: its own process group (ended with the
// server on a signal), an empty signal mask, default stop signals, standard input, output and
// error on /dev/null, no descriptor above 2, and the server's environment and working directory.
// It is only ever signalled and waited for by its own pid.
//
// Thread-safe. start() calls run one after another (a second waits for the first); isRunning()
// and stop() never wait for a start in progress: a stop() during a start ends the new browser and
// makes that start fail. Destroying the manager stops the browser.
class BrowserManager final {
 public:
  // The browser executables tried, in order, after VARN_BROWSER_BIN.
  static const std::vector<std::string>& defaultExecutables();

  // What tests may change; the defaults are the product's.
  struct Settings {
    // Where profile folders are made and swept; empty: the temporary folder, read at each start.
    std::filesystem::path tempFolder;
    std::vector<std::string> executables = defaultExecutables();
    // The readiness wait: tries of GET /json/version, and the pause after each failed one.
    int endpointTries = 50;
    std::chrono::milliseconds endpointInterval{200};
    // How long stop() waits after SIGTERM before it kills the browser's process group.
    std::chrono::milliseconds stopGrace{2000};
  };

  // Stores the port; no process, no folder, no input or output.
  explicit BrowserManager(std::int64_t port);
  BrowserManager(std::int64_t port, Settings settings);
  ~BrowserManager();
  BrowserManager(const BrowserManager&) = delete;
  BrowserManager& operator=(const BrowserManager&) = delete;

  // The remote-debugging port the browser is told to listen on.
  [[nodiscard]] std::int64_t port() const noexcept { return port_; }

  // True while a browser started by this manager has not exited (also before its endpoint is
  // ready). Never blocks.
  [[nodiscard]] bool isRunning();

  // Starts the browser unless one runs; returns whether one was already running (nothing else
  // happens then, `headless` included). Otherwise, in this order: finds the executable
  // (VARN_BROWSER_BIN when it names an executable file, else the first executable of the table),
  // ends what an earlier browser of this manager left, sweeps the folders of servers that are
  // gone, checks that nothing listens on the port, makes the profile folder, launches the browser
  // with the arguments below, and waits until GET /json/version answers 200 (endpointTries tries,
  // endpointInterval apart). Arguments: "--remote-debugging-port=<port>",
  // "--remote-debugging-address=127.0.0.1", "--remote-allow-origins=*",
  // "--user-data-dir=<folder>", "--no-first-run", "--no-default-browser-check",
  // "--disable-background-networking", and "--headless=new" when `headless`.
  //
  // Throws BrowserError::launchFailure with "CDP port :<port> is not a valid port" (outside 1 to
  // 65535), "no Chromium-family browser found; set VARN_BROWSER_BIN", "CDP port :<port> is
  // already in use", "failed to launch <path>: <reason>" or "CDP endpoint on :<port> did not
  // become ready" (the browser is then stopped and its folder deleted); a file-system error when
  // the folder cannot be made.
  bool start(bool headless);

  // Stops the browser: SIGTERM, up to stopGrace for it to exit, then SIGKILL to its process
  // group; waits until it is reaped, then deletes the profile folder (retrying briefly while the
  // browser's helpers let go of it). Harmless when nothing runs. Never throws.
  void stop() noexcept;

  // The browser-level DevTools WebSocket URL from GET /json/version: its "webSocketDebuggerUrl",
  // accepted only as "ws://127.0.0.1:<port>/..." or "ws://localhost:<port>/..." with this
  // manager's port. Throws DevToolsTransportError when the request fails, support::JsonDecodeError
  // when the body is not JSON, and BrowserError::cdpFailure("no webSocketDebuggerUrl at :<port>")
  // otherwise. One attempt; does not look at the process.
  [[nodiscard]] std::string browserWebSocketURL();

 private:
  std::filesystem::path tempFolder() const;
  void waitForEndpoint(std::uint64_t generation);

  const std::int64_t port_;
  const Settings settings_;

  std::mutex startGate_;  // held for the whole of start()
  std::mutex mutex_;      // guards the fields below; never held across a wait
  std::condition_variable stopped_;
  std::optional<support::ChildProcess> process_;
  std::optional<std::filesystem::path> profileDir_;
  std::uint64_t generation_ = 0;  // counts launches and stops, so a start notices a stop
};

}  // namespace varn::mcp
