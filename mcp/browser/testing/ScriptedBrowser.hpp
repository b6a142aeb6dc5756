#pragma once

// The controller over a browser that a test scripts on the fake DevTools pipe: what the browser
// answers, and the commands the controller sent.

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/FakeDevToolsPipe.hpp"
#include "mcp/browser/testing/ManualClock.hpp"
#include "support/Json.hpp"

namespace varn::mcp::fakes {

using support::Json;

// A browser as the fake DevTools pipe plays it: a target list, a session per attach
// ("S-<target>" at first, then "S-<target>-2", ...), visibility and readiness per session, and an
// open dialog or none. Commands are answered on the pipe's thread.
class ScriptedBrowser {
 public:
  std::vector<Json> targets;
  std::set<std::string> visible;               // sessions whose page reports "visible"
  std::deque<std::string> readyStates;         // served in order; the last one repeats
  std::set<std::string> attachWithoutSession;  // targets whose attach reply has no sessionId
  std::set<std::string> forgottenSessions;     // answered "Session with given id not found."
  bool dialogOpen = false;
  // When set, the next readiness probe gets no reply until a dialog is answered.
  bool holdReadiness = false;

  // When set, the next target list is preceded by this event.
  std::optional<Json> eventBeforeTargets;
  // Script calls on these objects fail as on a document that has gone.
  std::set<std::string> goneObjects;
  // What a field probe answers, as the JSON text its count mode gives.
  std::string probeAnswer =
      R"({"answer":"found","count":1,"type":"password","origin":"https://a","href":"https://a/in","frames":0})";

  // Changes the script between calls.
  template <typename Change>
  void edit(Change change) {
    std::lock_guard lock(mutex_);
    change(*this);
  }

  std::optional<Json> answer(FakeDevToolsPipe& server, const Json& command) {
    std::lock_guard lock(mutex_);
    const std::string method = command.value("method", "");
    const Json params = command.value("params", Json::object());
    const std::string session = command.value("sessionId", "");
    if (forgottenSessions.contains(session)) {
      return Json{{"error", {{"code", -32001}, {"message", "Session with given id not found."}}}};
    }
    if (method == "Target.getTargets") {
      if (!eventBeforeTargets) return result({{"targetInfos", targets}});
      server.sendJson(*std::exchange(eventBeforeTargets, std::nullopt));
      server.sendJson({{"id", command.at("id")}, {"result", {{"targetInfos", targets}}}});
      return std::nullopt;
    }
    if (method == "Target.attachToTarget") {
      const std::string target = params.value("targetId", "");
      if (attachWithoutSession.contains(target)) return result(Json::object());
      const int n = ++attaches_[target];
      return result({{"sessionId", "S-" + target + (n > 1 ? "-" + std::to_string(n) : "")}});
    }
    if (method == "Page.handleJavaScriptDialog") {
      if (!dialogOpen) {
        return Json{{"error", {{"code", -32602}, {"message", "No dialog is showing"}}}};
      }
      dialogOpen = false;
      if (heldProbe_) {
        server.sendJson({{"id", *heldProbe_}, {"result", readiness("complete", heldSession_)}});
        heldProbe_.reset();
      }
      return result(Json::object());
    }
    if (method == "Page.createIsolatedWorld") return result({{"executionContextId", ++worlds_}});
    if (method == "Runtime.callFunctionOn") {
      // A world's first call, by its context id, answers the text as a member of an object of
      // that world.
      if (const auto context = params.find("executionContextId"); context != params.end()) {
        const Json text = {{"type", "string"}, {"value", probeAnswer}};
        return result({{"result",
                        {{"type", "object"},
                         {"objectId", "world-" + context->dump()},
                         {"deepSerializedValue",
                          {{"type", "object"},
                           {"value", Json::array({Json::array({"varnText", text})})}}}}}});
      }
      if (goneObjects.contains(params.value("objectId", ""))) {
        return Json{
            {"error", {{"code", -32000}, {"message", "Could not find object with given id"}}}};
      }
      return result({{"result", {{"type", "string"}, {"value", probeAnswer}}}});
    }
    if (method == "Runtime.evaluate") {
      const std::string expression = params.value("expression", "");
      if (expression == "document.visibilityState") {
        return value(visible.contains(session) ? "visible" : "hidden");
      }
      if (expression == "location.href") return value("https://now/" + session);
      if (expression == "globalThis") {
        return result(
            {{"result",
              {{"type", "object"}, {"objectId", "global-" + params["contextId"].dump()}}}});
      }
      if (expression.starts_with("({state: document.readyState")) {
        if (holdReadiness) {
          holdReadiness = false;
          heldProbe_ = command.at("id").get<std::int64_t>();
          heldSession_ = session;
          return std::nullopt;
        }
        const std::string state = readyStates.empty() ? "complete" : readyStates.front();
        if (readyStates.size() > 1) readyStates.pop_front();
        return result(readiness(state, session));
      }
    }
    return result(Json::object());
  }

 private:
  static Json result(Json body) { return Json{{"result", std::move(body)}}; }
  static Json value(const std::string& text) { return result({{"result", {{"value", text}}}}); }
  // The readiness probe's answer: the state, and the address location.href would give.
  static Json readiness(const std::string& state, const std::string& session) {
    return {{"result", {{"value", {{"state", state}, {"href", "https://now/" + session}}}}}};
  }

  std::mutex mutex_;
  std::map<std::string, int> attaches_;
  int worlds_ = 0;
  std::optional<std::int64_t> heldProbe_;
  std::string heldSession_;
};

inline Json page(const std::string& id, const std::string& url, const std::string& title = "") {
  return {{"type", "page"}, {"targetId", id}, {"url", url}, {"title", title}};
}

// The controller over a real BrowserManager whose browser is the fake browser script: it hands
// its pipe to `server`, which answers as `browser` says.
class ScriptedBrowserTest : public ::testing::Test {
 protected:
  ScriptedBrowserTest() {
    server.setResponder([this](const Json& command) { return browser.answer(server, command); });
    server.adoptFromSocket(scratch.file("handoff"));
    controller.start(true);
  }

  BrowserManager::Settings settings() const {
    BrowserManager::Settings s;
    s.tempFolder = scratch.path();
    s.executables = {};
    return s;
  }

  // The commands the server saw with this method, as compact JSON without their ids.
  std::vector<std::string> sent(const std::string& method) {
    std::vector<std::string> out;
    for (Json command : server.commands()) {
      if (command.value("method", "") != method) continue;
      command.erase("id");
      out.push_back(command.dump());
    }
    return out;
  }

  std::string tabs() {
    std::string out;
    for (const TabInfo& tab : controller.listTabs()) {
      out += (out.empty() ? "" : " ") + tab.id + (tab.active ? "*" : "");
    }
    return out;
  }

  ScratchFolder scratch;
  ScopedEnv browserBin{"VARN_BROWSER_BIN", fakeBrowserPath()};
  ScopedEnv mode{"FAKE_BROWSER_MODE", "handoff"};
  ScopedEnv socketEnv{"FAKE_BROWSER_SOCKET", scratch.file("handoff")};
  // Before the pipe, whose thread answers from it until the pipe is destroyed.
  ScriptedBrowser browser;
  FakeDevToolsPipe server;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  CDPBrowserController controller{std::make_shared<BrowserManager>(std::nullopt, settings()),
                                  std::chrono::seconds(0), clock};
};

}  // namespace varn::mcp::fakes
