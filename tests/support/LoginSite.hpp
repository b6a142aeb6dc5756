#pragma once

// A small web site of login pages for the fill and login tests and the login benchmark: pages
// served on a free port of 127.0.0.1 (reachable as http://127.0.0.1:<port> and, a second origin,
// http://localhost:<port>), forms posted to it, and a record of every request it received.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ServerProcess.hpp"

namespace varn::tests {

// cpp-httplib on threads of its own, from construction to destruction. Thread-safe.
class LoginSite final {
 public:
  // One request as it arrived.
  struct Request {
    std::string method;
    std::string path;   // without the query
    std::string query;  // "a=1&b=2" as sent, "" without one
    std::string body;
    std::string host;  // the Host header
  };

  LoginSite();
  ~LoginSite();
  LoginSite(const LoginSite&) = delete;
  LoginSite& operator=(const LoginSite&) = delete;

  // Serves `html` at `path` (GET) with `headers`; a POST to `path` is recorded and answered with a
  // redirect
  // (303) to `next` when given, else with the page itself. Every page gets a script that reports
  // each input event to "/typed" (the field's name and value), so a test sees what was typed into
  // a page even when nothing is submitted. Pages can be added at any time.
  void page(const std::string& path, const std::string& html, const std::string& next = "",
            const std::map<std::string, std::string>& headers = {});
  // Requests to `path` get no answer until the site is destroyed (a server that hangs).
  void hang(const std::string& path);

  [[nodiscard]] int port() const noexcept { return port_; }
  // "http://127.0.0.1:<port>" + path, and the same on "localhost".
  [[nodiscard]] std::string url(const std::string& path) const;
  [[nodiscard]] std::string localhostURL(const std::string& path) const;

  // Every request so far (the reports to "/typed" included), in arrival order.
  [[nodiscard]] std::vector<Request> requests() const;
  // The requests to `path`.
  [[nodiscard]] std::vector<Request> requestsTo(const std::string& path) const;
  // Blocks until `path` has been requested at least `count` times, at most `deadline`.
  bool waitFor(const std::string& path, std::size_t count = 1,
               std::chrono::milliseconds deadline = kFailureGuard) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// The value of form field `name` in an "a=1&b=2" body or query (percent-decoded, "+" a space);
// "" when absent.
[[nodiscard]] std::string formValue(const std::string& form, const std::string& name);

}  // namespace varn::tests
