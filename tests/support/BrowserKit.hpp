#pragma once

// What the browser tests and the browser benchmark need around a real headless Chromium: a
// wrapper executable, pages served on 127.0.0.1, and ways to watch the browser's processes and
// profile folders without sleeping.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/LoopbackPort.hpp"
#include "support/TcpTable.hpp"
#include "tests/support/ServerProcess.hpp"

namespace varn::tests {

// From the browser unit tests' own kit: free and taken loopback ports, a browser wrapper that lets
// an impostor take the port first, and the wrapper script
// "<folder>/chromium" that runs Debian's Chromium with "--no-sandbox" (as root it exits at once
// without it), keeping its pid.
using mcp::fakes::PortImpostorWrapper;
using mcp::fakes::SilentListener;
using mcp::fakes::unusedLoopbackPort;
using mcp::fakes::writeChromiumWrapper;

// HTML pages served on a free port of 127.0.0.1 by cpp-httplib, on threads of its own, from
// construction to destruction. Every path not given answers 404.
class PageServer final {
 public:
  // Path -> the HTML body served with status 200.
  explicit PageServer(std::map<std::string, std::string> pages);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  [[nodiscard]] int port() const noexcept { return port_; }
  // "http://127.0.0.1:<port>" + path.
  [[nodiscard]] std::string url(const std::string& path) const;

  // Blocks until `path` has been requested at least `count` times in all, at most `deadline`.
  bool waitForRequests(const std::string& path, int count = 1,
                       std::chrono::milliseconds deadline = kFailureGuard);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// The children of a process, and a process with everything below it, as /proc shows them now.
using support::childrenOf;
using support::processTree;

// The local ports of the TCP sockets in the listening state that a process of `processes` holds
// (its descriptors' socket inodes, looked up in /proc/net/tcp and /proc/net/tcp6), sorted.
[[nodiscard]] std::vector<int> listeningPortsOf(const std::vector<pid_t>& processes);

// Waits (without polling) until process `pid` has exited, at most `deadline`. True when it has
// exited or no longer exists. For processes that are not our children (a server's browser).
bool waitForProcessExit(pid_t pid, std::chrono::milliseconds deadline = kFailureGuard);

// Whether a process with this pid exists and has not exited (a zombie counts as exited).
[[nodiscard]] bool processAlive(pid_t pid);

// The entries of `folder` whose names begin with "varn-browser-", as full paths, sorted.
[[nodiscard]] std::vector<std::string> profileFolders(const std::string& folder);

// Waits (inotify, without polling) until `path` no longer exists, at most `deadline`.
bool waitForRemoval(const std::string& path, std::chrono::milliseconds deadline = kFailureGuard);

// Waits (inotify on every folder below `folder`, without polling) until a file whose name ends
// with `suffix` exists anywhere below `folder`, at most `deadline`.
bool waitForFileBelow(const std::string& folder, const std::string& suffix,
                      std::chrono::milliseconds deadline = kFailureGuard);

// Everything below `folder` (symbolic links not followed): each entry's path relative to it,
// with " <size>" after a file's, sorted.
[[nodiscard]] std::vector<std::string> treeOf(const std::string& folder);

}  // namespace varn::tests
