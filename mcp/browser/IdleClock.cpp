#include "mcp/browser/IdleClock.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace varn::mcp {
namespace {

class BootClock final : public IdleClock {
 public:
  Instant now() const override {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }

  bool waitUntil(std::optional<Instant> deadline, Cancellation& cancel) override {
    support::UniqueFd timer;
    if (deadline) {
      timer.reset(timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK));
      if (!timer) throw std::system_error(errno, std::generic_category(), "timerfd_create");
      itimerspec expiry{};
      // An absolute time of zero would disarm the timer; a deadline already passed fires at once.
      const auto at = std::max(*deadline, Instant(1));
      expiry.it_value.tv_sec =
          static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(at).count());
      expiry.it_value.tv_nsec = static_cast<long>((at % std::chrono::seconds(1)).count());
      if (timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &expiry, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "timerfd_settime");
      }
    }
    pollfd fds[2] = {{cancel.fd(), POLLIN, 0}, {timer.get(), POLLIN, 0}};
    for (;;) {
      if (cancel.cancelled()) return false;
      const int ready = poll(fds, timer ? 2 : 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return true;
      if (fds[0].revents != 0) return false;
      if (timer && fds[1].revents != 0) return true;
    }
  }
};

}  // namespace

Cancellation::Cancellation() : eventFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!eventFd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Cancellation::~Cancellation() = default;

void Cancellation::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
  }
  changed_.notify_all();
  const std::uint64_t one = 1;
  ssize_t written;
  do {
    written = write(eventFd_.get(), &one, sizeof one);
  } while (written < 0 && errno == EINTR);
}

bool Cancellation::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool Cancellation::waitFor(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return cancelled_ || done(); });
  return !cancelled_;
}

void Cancellation::notify() {
  // Taking the lock orders the change the waiter re-checks before its wake-up.
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

std::shared_ptr<IdleClock> bootClock() {
  static const std::shared_ptr<IdleClock> clock = std::make_shared<BootClock>();
  return clock;
}

}  // namespace varn::mcp
