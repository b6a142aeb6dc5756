#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace varn::mcp {

// The MCP client's answer to one approval request, as it reaches the coordinator. `action` is the
// client's text unchanged ("accept", "decline", "cancel" or anything else), or "timeout" when the
// coordinator ended the wait.
struct ElicitationResult {
  std::string action;

  bool operator==(const ElicitationResult&) const = default;
};

// Pairs each answer to an approval request with the request that waits for it, whatever the order
// in which the answer, the wait and the timeout happen. Answers arrive on the server's reader
// thread; waits run on tool threads. Thread-safe; the lock is never held while anybody waits.
//
// Memory stays bounded under a flood of answers: an answer is kept for later only when its id was
// issued by this server (see open) and its request is still open; answers to any other id are
// dropped.
class ElicitationCoordinator final {
 public:
  ElicitationCoordinator() = default;

  ElicitationCoordinator(const ElicitationCoordinator&) = delete;
  ElicitationCoordinator& operator=(const ElicitationCoordinator&) = delete;

  // Registers `id` as a request of this server that is open. Called before the request is sent, so
  // that an answer which overtakes the wait is kept for it.
  void open(const std::string& id);

  // Blocks until the answer for `id` arrives or `timeout` has passed on the steady clock, and
  // returns the answer, or the action "timeout". An answer that arrived before the wait is returned
  // at once. When the wait ends the request is no longer open: the first answer after a timeout is
  // dropped, and so is any answer after the request is done. Never throws.
  [[nodiscard]] ElicitationResult wait(const std::string& id,
                                       std::chrono::steady_clock::duration timeout);

  // Delivers an answer: to the request waiting for `id`; else, when that request timed out, the
  // answer is dropped; else, when the request is open, it is kept for its wait (a later answer
  // replaces an earlier one); else it is dropped. Never blocks for long.
  void fulfill(const std::string& id, ElicitationResult response);

  // Whether a wait for `id` is in progress now (for observers such as tests).
  [[nodiscard]] bool isWaiting(const std::string& id) const;

 private:
  struct Waiter {
    std::condition_variable answered;
    std::optional<ElicitationResult> result;  // guarded by the coordinator's mutex_
  };

  mutable std::mutex mutex_;
  std::set<std::string> open_;                              // issued and not done yet
  std::map<std::string, std::shared_ptr<Waiter>> waiters_;  // waiting now
  std::map<std::string, ElicitationResult> pending_;        // answered before the wait
  std::set<std::string> expired_;                           // timed out, late answer not come
};

}  // namespace varn::mcp
