#include "tests/support/ServerTest.hpp"

#include <cstdlib>

namespace varn::tests {

ServerTest::ServerTest() : home(dir.makeFolder("h")), socketPath(dir.file("v.sock")) {}

std::string ServerTest::binary() {
  return VARN_MCP_BINARY;
}

std::map<std::string, std::string> ServerTest::defaultEnvironment() const {
  return {{"HOME", home}, {"VARN_SOCKET", socketPath}};
}

FakeVault& ServerTest::startVault(const std::string& path) {
  vault = std::make_unique<FakeVault>(path.empty() ? socketPath : path);
  return *vault;
}

ServerProcess& ServerTest::startServer(
    const std::vector<std::string>& args,
    const std::optional<std::map<std::string, std::string>>& env) {
  server = std::make_unique<ServerProcess>(binary(), args, env ? *env : defaultEnvironment());
  return *server;
}

Json ServerTest::roundTrip(const std::string& line) {
  if (!server->sendLine(line)) {
    ADD_FAILURE() << "the server did not take the line";
    return Json::object();
  }
  std::optional<std::string> reply = server->readLine();
  if (!reply) {
    ExitStatus status = server->waitForExit(std::chrono::milliseconds(0));
    ADD_FAILURE() << "no reply line (server " << describe(status)
                  << "; its standard error: " << leaks.redact(server->stderrText()) << ")";
    return Json::object();
  }
  std::optional<Json> parsed = parseReply(*reply);
  if (!parsed) {
    ADD_FAILURE() << "reply is not a JSON object: " << leaks.redact(*reply);
    return Json::object();
  }
  return *parsed;
}

ToolResult ServerTest::call(const std::string& tool, const Json& arguments) {
  int id = nextId();
  Json reply = roundTrip(toolsCall(id, tool, arguments));
  EXPECT_EQ(reply.value("jsonrpc", ""), "2.0");
  EXPECT_EQ(reply.value("id", Json()), Json(id)) << "reply to the wrong request";
  std::optional<ToolResult> result = toolResult(reply);
  if (!result) {
    ADD_FAILURE() << "not a tool result: " << leaks.redact(support::dumpCompact(reply));
    return ToolResult{};
  }
  return *result;
}

void ServerTest::expectCleanExit() {
  server->closeInput();
  EXPECT_TRUE(server->outputEnds()) << "the server wrote more after end of input";
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, 0, false, 0}));
}

void ServerTest::TearDown() {
  if (!server) return;
  server->closeInput();
  while (server->readLine()) {
  }
  server->waitForExit();
  EXPECT_TRUE(leaks.absentFrom(server->linesRead(), server->stderrText()));
  // In a sanitizer build, a report from the server (which also ends it) fails the test.
  for (const char* mark : {"Sanitizer", "runtime error:"}) {
    EXPECT_EQ(server->stderrText().find(mark), std::string::npos)
        << leaks.redact(server->stderrText());
  }
}

}  // namespace varn::tests
