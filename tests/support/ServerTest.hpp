#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FakeVault.hpp"
#include "tests/support/JsonRpc.hpp"
#include "tests/support/LeakCheck.hpp"
#include "tests/support/ServerProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace varn::tests {

// Fixture of the end-to-end tests: a fresh temporary folder with a HOME of its own ("h") and a
// vault socket path ("v.sock"), a fake vault on request, the real varn-mcp started on request,
// and the leak check, which TearDown runs over everything the server wrote.
class ServerTest : public testing::Test {
 protected:
  ServerTest();

  // The varn-mcp binary under test.
  static std::string binary();

  // HOME and VARN_SOCKET for the server: the fixture's own.
  [[nodiscard]] std::map<std::string, std::string> defaultEnvironment() const;

  // Starts the fake vault on `path` (the fixture's socket path when empty).
  FakeVault& startVault(const std::string& path = "");

  // Starts varn-mcp with `args` and `env` (defaultEnvironment() when absent).
  ServerProcess& startServer(const std::vector<std::string>& args = {},
                             const std::optional<std::map<std::string, std::string>>& env = {});

  // Sends `line` and returns the next reply line parsed; records a failure and returns an empty
  // object when none comes or it is not a JSON object.
  Json roundTrip(const std::string& line);

  // Calls `tool` with `arguments` under a fresh numeric id, checks that the reply carries that
  // id, and returns its tool result (a failure is recorded when it has none).
  ToolResult call(const std::string& tool, const Json& arguments = nullptr);

  // A fresh numeric id for a request.
  int nextId() { return ++lastId_; }

  // Closes the server's input and checks that it writes nothing more and exits with status 0.
  void expectCleanExit();

  void TearDown() override;

  TempDir dir;
  std::string home;
  std::string socketPath;
  LeakCheck leaks;
  std::unique_ptr<FakeVault> vault;
  std::unique_ptr<ServerProcess> server;

 private:
  int lastId_ = 0;
};

}  // namespace varn::tests
