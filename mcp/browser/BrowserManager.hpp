#pragma once

// The one dedicated browser process of the server: found, started with a throw-away profile and
// its DevTools on a private pipe, waited for, and stopped again.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/CDPConnection.hpp"
#include "support/ChildProcess.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// Owns the browser process, its DevTools pipe and its profile folder "varn-browser-<UPPER-CASE
// UUID>" (mode 0700) in the temporary folder. The folder holds an owner record (this server's pid
// and start time, the browser's pid and start time, the boot id), by which a later start of any
// server sweeps what crashed runs left behind without touching another live server's browser or
// folder. The folder is also the browser's working directory, (as ".") its TMPDIR, and (its
// "home") its HOME and XDG base folders, so its temporary files, crash reports and caches go
// with it: the browser writes nothing outside it.
//
// The server reaches the browser only through the pipe of --remote-debugging-pipe, whose ends it
// passes as descriptors 3 and 4. Only when a port is given does the browser also listen on
// 127.0.0.1 at that port, for the operator's own DevTools client; the server never connects
// there.
//
// The browser is started through support's ChildProcess: its own process group (ended with the
// server on a signal), an empty signal mask, default stop signals, standard input, output and
// error on /dev/null, descriptors 3 and 4 its pipe and none above, and the server's environment
// but TMPDIR, HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME, XDG_DATA_HOME and XDG_STATE_HOME (and
// XAUTHORITY, when unset, naming the user's). It is started by setpriv with the parent-death signal
// SIGKILL, from a thread of the manager's own that lives as long as the manager (the signal comes
// when the thread that started the browser ends), so that the browser dies with the server
// however the server ends. It is only ever signalled and waited for by its own pid or group.
//
// Thread-safe. start() calls run one after another (a second waits for the first); isRunning()
// and stop() never wait for a start in progress: a stop() during a start ends the new browser and
// makes that start fail. Destroying the manager stops the browser.
class BrowserManager final {
 public:
  // Called on the connection's I/O thread for every DevTools event of the browser, with the
  // connection it came over. See CDPConnection::EventHandler.
  using EventHandler = std::function<void(const CDPConnection& from, const support::Json& event)>;

  // The browser executables tried, in order, after VARN_BROWSER_BIN.
  static const std::vector<std::string>& defaultExecutables();

  // What tests may change; the defaults are the product's.
  struct Settings {
    // Where profile folders are made and swept; empty: the temporary folder, read at each start.
    std::filesystem::path tempFolder;
    std::vector<std::string> executables = defaultExecutables();
    // How long the browser has to answer its first command over the pipe (a loaded machine took
    // more than 10 s to start Chromium; a browser that answers is never kept waiting).
    std::chrono::milliseconds readyTimeout{30000};
    // How long stop() waits after SIGTERM before it kills the browser's process group.
    std::chrono::milliseconds stopGrace{2000};
  };

  // `port`: the DevTools port the operator asked for, or none. No process, no folder, no input
  // or output.
  explicit BrowserManager(std::optional<std::int64_t> port);
  BrowserManager(std::optional<std::int64_t> port, Settings settings);
  ~BrowserManager();
  BrowserManager(const BrowserManager&) = delete;
  BrowserManager& operator=(const BrowserManager&) = delete;

  // The DevTools port the browser listens on; 0 when none was asked for.
  [[nodiscard]] std::int64_t port() const noexcept { return port_.value_or(0); }

  // Replaces the handler of the events of later connections. Call it before the first start.
  void setEventHandler(EventHandler handler);

  // True while a browser started by this manager has not exited (also before it is ready).
  // Never blocks.
  [[nodiscard]] bool isRunning();

  // Starts the browser unless one runs; returns whether one was already running (nothing else
  // happens then, `headless` included). Otherwise, in this order: finds the executable
  // (VARN_BROWSER_BIN when it names an executable file, else the first executable of the table),
  // ends what an earlier browser of this manager left, sweeps the folders of servers that are
  // gone, checks that nothing listens on the port (when one was asked for), makes the profile
  // folder, launches the browser with the arguments below, and waits until it answers
  // Browser.getVersion over its pipe and, with a port, until its own process tree holds the
  // listening socket on 127.0.0.1:<port> (readyTimeout for both, cut to the calling thread's
  // CallBudget so that ending a browser that is not ready by then also keeps to it). Arguments:
  // "--remote-debugging-pipe", with a port "--remote-debugging-port=<port>" and
  // "--remote-debugging-address=127.0.0.1",
  // "--user-data-dir=<folder>", "--no-first-run", "--no-default-browser-check",
  // "--disable-background-networking", "--disable-sync", "--disable-default-apps",
  // "--metrics-recording-only", "--disable-extensions",
  // "--disable-component-extensions-with-background-pages",
  // "--disable-features=Translate,MediaRouter,OptimizationHints,WebUIOmniboxPopup,
  // WebUIOmniboxAimPopup" (one argument), "--password-store=basic", and "--headless=new" when
  // `headless`.
  //
  // Throws BrowserError::launchFailure with "CDP port :<port> is not a valid port" (outside 1 to
  // 65535), "no Chromium-family browser found; set VARN_BROWSER_BIN", "CDP port :<port> is
  // already in use", "failed to launch <path>: <reason>", "browser exited during start with exit
  // status <n>" or "... with signal <n>" (at once when it exits), "CDP pipe did not become
  // ready" (no answer in time, or a stop() meanwhile), or "CDP port :<port> is already in use"
  // also after the launch (another process listens on the port, or the browser does not listen
  // on 127.0.0.1:<port> in time); the browser is then stopped and its folder deleted. A file-system
  // error when the folder cannot be made.
  bool start(bool headless);

  // Stops the browser: closes its pipe, sends SIGTERM, waits up to stopGrace for it to exit, then
  // kills its process group with SIGKILL; waits until it is reaped, then deletes the profile
  // folder (retrying briefly while the browser's helpers let go of it). Harmless when nothing
  // runs. Never throws.
  void stop() noexcept;

  // The DevTools connection of the running browser. Throws BrowserError::cdpFailure("connection
  // closed") when no browser was started or it has been stopped.
  [[nodiscard]] std::shared_ptr<CDPConnection> connection();

  // Whether a DevTools client is connected to the browser's port now (an established TCP
  // connection on it); false without a port.
  [[nodiscard]] bool portClientConnected() const;

 private:
  struct Launcher;

  // A browser launched on its pipe, recorded with its connection.
  struct Launched {
    std::shared_ptr<CDPConnection> connection;
    pid_t pid;
  };

  std::filesystem::path tempFolder() const;
  // The executable to start. Throws launchFailure for a port outside 1 to 65535 or when none is
  // found.
  std::string findExecutable() const;
  // Launches `binary` with the profile `folder` and records the browser and its connection,
  // unless a stop() came since `generation`. Throws launchFailure (the folder deleted, or the
  // browser ended) when it cannot.
  Launched launch(const std::string& binary, const std::filesystem::path& folder, bool headless,
                  std::uint64_t generation);
  // Returns once the browser answers over its pipe and, with a port, holds it itself; otherwise
  // ends this launch (unless a stop() or another start came since `generation`) and throws
  // launchFailure.
  void awaitReady(std::uint64_t generation, CDPConnection& connection, pid_t browser);
  // How long the browser has to become ready: readyTimeout, cut to what is left of the calling
  // thread's CallBudget less the time ending the browser may take (nothing or less when that is
  // all that is left). callTooLong when nothing at all is left.
  [[nodiscard]] std::chrono::milliseconds readyWindow() const;
  // Ends what was taken from the fields: closes the pipe, sends SIGTERM, waits up to stopGrace,
  // kills the process group, reaps, deletes the folder.
  void endRun(std::optional<support::ChildProcess> process,
              std::shared_ptr<CDPConnection> connection,
              std::optional<std::filesystem::path> folder) const noexcept;

  const std::optional<std::int64_t> port_;
  const Settings settings_;
  std::mutex startGate_;                // held for the whole of start()
  std::unique_ptr<Launcher> launcher_;  // guarded by startGate_
  std::mutex mutex_;                    // guards the fields below; never held across a wait
  EventHandler onEvent_;
  std::optional<support::ChildProcess> process_;
  std::shared_ptr<CDPConnection> connection_;
  std::optional<std::filesystem::path> profileDir_;
  std::uint64_t generation_ = 0;  // counts launches and stops, so a start notices a stop
};

}  // namespace varn::mcp
