#include "support/ProcessGroups.hpp"

#include <signal.h>

#include <algorithm>

namespace varn::support {

ProcessGroups::ProcessGroups() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&starting_, &attributes);
  pthread_rwlockattr_destroy(&attributes);
}

ProcessGroups::~ProcessGroups() {
  pthread_rwlock_destroy(&starting_);
}

ProcessGroups& ProcessGroups::live() {
  // Never destroyed: children may still be reaped by threads that outlive static destruction.
  static ProcessGroups* const groups = new ProcessGroups;
  return *groups;
}

ProcessGroups::StartGuard::StartGuard(ProcessGroups& groups) : groups_(groups) {
  pthread_rwlock_rdlock(&groups_.starting_);
  admitted_ = !groups_.closed_;
}

ProcessGroups::StartGuard::~StartGuard() {
  pthread_rwlock_unlock(&groups_.starting_);
}

void ProcessGroups::add(pid_t group) {
  std::lock_guard lock(mutex_);
  groups_.push_back(group);
}

void ProcessGroups::remove(pid_t group) noexcept {
  std::lock_guard lock(mutex_);
  if (auto found = std::find(groups_.begin(), groups_.end(), group); found != groups_.end()) {
    *found = groups_.back();
    groups_.pop_back();
  }
}

void ProcessGroups::killAll() noexcept {
  pthread_rwlock_wrlock(&starting_);
  closed_ = true;
  {
    std::lock_guard lock(mutex_);
    // Only recorded groups, each still unreaped: remove() runs before the reap and waits here.
    for (pid_t group : groups_) {
      if (group > 0) ::kill(-group, SIGKILL);
    }
  }
  pthread_rwlock_unlock(&starting_);
}

std::size_t ProcessGroups::size() const {
  std::lock_guard lock(mutex_);
  return groups_.size();
}

}  // namespace varn::support
