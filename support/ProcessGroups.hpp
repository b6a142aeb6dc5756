#pragma once

// The process groups of this process's live children, so that ending the process ends every child
// and everything those children started.

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <vector>

namespace varn::support {

// A registry of live process groups. Every child (a run_command child, the browser) is started in
// a group of its own whose id is the child's pid; it is recorded from its start until just before
// it is reaped, so a recorded id always names a group of ours and never a reused pid.
//
// The starter holds a StartGuard from before posix_spawn until add(): killAll() waits for starts in
// progress and refuses later ones, so no child started while the process ends escapes it.
//
// Thread-safe. killAll() allocates nothing and only takes locks that are held briefly, so the
// signal thread may call it right before _exit; it is not for an asynchronous signal handler.
class ProcessGroups final {
 public:
  ProcessGroups();
  ~ProcessGroups();
  ProcessGroups(const ProcessGroups&) = delete;
  ProcessGroups& operator=(const ProcessGroups&) = delete;

  // The one registry of this process, used by ChildProcess.
  [[nodiscard]] static ProcessGroups& live();

  // Held across the start of one child and the add() of its group. Blocks while killAll() runs.
  class StartGuard final {
   public:
    explicit StartGuard(ProcessGroups& groups);
    ~StartGuard();
    StartGuard(const StartGuard&) = delete;
    StartGuard& operator=(const StartGuard&) = delete;
    // False once killAll() has run: the child must not be started.
    [[nodiscard]] bool admitted() const noexcept { return admitted_; }

   private:
    ProcessGroups& groups_;
    bool admitted_;
  };

  // Records the group `group` (the pid of a child started in a group of its own). Requires a
  // StartGuard that is admitted. Throws std::bad_alloc; the caller then ends the child itself.
  void add(pid_t group);

  // Forgets `group`. Call before the child is reaped; a group not recorded is ignored.
  void remove(pid_t group) noexcept;

  // Sends SIGKILL to every recorded group and refuses every later start. Groups stay recorded:
  // their children are still reaped (and removed) by their owners, if the process lives on.
  void killAll() noexcept;

  // Groups recorded now.
  [[nodiscard]] std::size_t size() const;

 private:
  // Shared by starts in progress, exclusive for killAll; writers are preferred, so a flood of
  // starts cannot hold killAll off.
  pthread_rwlock_t starting_;
  mutable std::mutex mutex_;
  std::vector<pid_t> groups_;  // guarded by mutex_
  bool closed_ = false;        // guarded by starting_ (written exclusively, read shared)
};

}  // namespace varn::support
