#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
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
// dropped. The record of timed-out requests keeps the newest kMaxExpired ids; an answer to an
// older one is dropped all the same, as an answer to a request that is not open.
class ElicitationCoordinator final {
 public:
  static constexpr std::size_t kMaxExpired = 1024;

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
  // answer is dropped; else, when the request is open, it is kept for its wait; else it is
  // dropped. The first answer decides: one that comes while an earlier answer is kept is dropped,
  // so a "decline" cannot be overturned by an "accept" sent after it. Never blocks for long.
  void fulfill(const std::string& id, ElicitationResult response);

  // Forgets the open request `id` whose request could not be sent: no answer will come for it.
  void abandon(const std::string& id);

  // End of input: no answer can arrive any more. Every wait in progress, and every later one,
  // ends at once with the action "cancel" (a refusal).
  void close();

  // Whether a wait for `id` is in progress now (for observers such as tests).
  [[nodiscard]] bool isWaiting(const std::string& id) const;
  // Timed-out requests recorded now (for observers such as tests).
  [[nodiscard]] std::size_t expiredCount() const;

 private:
  struct Waiter {
    std::condition_variable answered;
    std::optional<ElicitationResult> result;  // guarded by the coordinator's mutex_
  };

  // Records `id` as timed out, forgetting the oldest record beyond kMaxExpired. Requires mutex_.
  void expireLocked(const std::string& id);

  mutable std::mutex mutex_;
  std::set<std::string> open_;  // issued and not done yet; guarded by mutex_
  std::map<std::string, std::shared_ptr<Waiter>> waiters_;  // waiting now; guarded by mutex_
  std::map<std::string, ElicitationResult> pending_;  // answered before the wait; guarded by mutex_
  std::set<std::string> expired_;       // timed out, late answer not come; guarded by mutex_
  std::deque<std::string> expiredAge_;  // the ids of expired_, oldest first; guarded by mutex_
  bool closed_ = false;  // end of input: every wait ends with "cancel"; guarded by mutex_
};

}  // namespace varn::mcp
