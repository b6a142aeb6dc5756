#include "mcp/browser/CDPConnection.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <system_error>
#include <tuple>
#include <variant>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/CDPMessageReader.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "support/Ascii.hpp"
#include "support/Utf8.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {

using support::Json;

namespace {

// How much one read takes from the browser's pipe.
constexpr std::size_t kReadChunk = 64 * 1024;

// A command waiting to be written: its id and its bytes, NUL included, and how many are written.
struct Frame {
  std::int64_t id;
  std::string bytes;
  std::size_t written = 0;
};

std::exception_ptr closedError() {
  return std::make_exception_ptr(BrowserError::cdpFailure("connection closed"));
}

// The code unit of the four hexadecimal digits at `at`, or -1.
int hexUnit(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return -1;
  int unit = 0;
  for (char digit : text.substr(at, 4)) {
    const int value = support::hexDigitValue(digit);
    if (value < 0) return -1;
    unit = unit * 16 + value;
  }
  return unit;
}

// Chromium escapes a string's UTF-16 code units one by one, so a lone surrogate that a page put
// into a string (a dialog's message, an evaluation's result) arrives as "\ud800", which JSON does
// not allow. Each becomes "\ufffd", as the browser itself writes it in titles; pairs stay.
std::string withoutLoneSurrogates(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') inString = !inString;
    if (!inString || c != '\\' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    const int unit = text[i + 1] == 'u' ? hexUnit(text, i + 2) : -1;
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const int next = high && text.substr(i + 6, 2) == "\\u" ? hexUnit(text, i + 8) : -1;
    std::size_t length = 2;  // an escape other than a surrogate's
    if (high && next >= 0xDC00 && next <= 0xDFFF) {
      length = 12;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += "\\ufffd";
      i += 5;
      continue;
    } else if (unit >= 0) {
      length = 6;
    }
    out.append(text.substr(i, length));
    i += length - 1;
  }
  return out;
}

}  // namespace

// A command waiting for its reply: a caller waiting on `reply`, or (posted) `answered`.
struct CDPConnection::Pending {
  std::promise<Json> reply;
  std::string method;
  std::function<void()> answered;
};

// Everything the I/O thread touches. The thread holds a shared_ptr to it for as long as it runs.
struct CDPConnection::Core {
  Core(support::UniqueFd in, support::UniqueFd out, EventHandler handler)
      : readFd(std::move(in)), writeFd(std::move(out)), onEvent(std::move(handler)) {}

  ~Core() {
    std::lock_guard lock(mutex);
    for (Frame& frame : queued) support::wipe(frame.bytes);
  }

  using Waiter = std::shared_ptr<Pending>;

  support::UniqueFd readFd;
  support::UniqueFd writeFd;
  support::UniqueFd
      wakeFd;  // made by connect(); readable when `queued` or `closeRequested` changed
  const EventHandler onEvent;

  // Guarded by mutex.
  mutable std::mutex mutex;
  std::int64_t nextId = 1;
  std::map<std::int64_t, Waiter> waiters;
  std::deque<Frame> queued;  // handed over by send(), not yet taken by the I/O thread
  bool closeRequested = false;
  bool ended = false;

  // I/O thread only.
  std::deque<Frame> outbox;
  CDPMessageReader inbox{kMaxMessageBytes, kReadChunk};

  // Ends the connection for good and fails every waiter with "connection closed".
  void end() {
    std::map<std::int64_t, Waiter> failed;
    {
      std::lock_guard lock(mutex);
      ended = true;
      failed.swap(waiters);
    }
    for (auto& [id, waiter] : failed) waiter->reply.set_exception(closedError());
  }

  // Removes the waiter of `id`; null when none waits (it was answered, failed or timed out).
  Waiter take(std::int64_t id) {
    std::lock_guard lock(mutex);
    auto found = waiters.find(id);
    if (found == waiters.end()) return nullptr;
    Waiter waiter = std::move(found->second);
    waiters.erase(found);
    return waiter;
  }

  void wake() const noexcept {
    const std::uint64_t one = 1;
    while (::write(wakeFd.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // --- the I/O thread ---

  void run() {
    for (;;) {
      // The write end is watched only while there is something to write: a browser that closed
      // its reading end is noticed by the next write.
      std::array<pollfd, 3> fds{pollfd{wakeFd.get(), POLLIN, 0}, pollfd{readFd.get(), POLLIN, 0},
                                pollfd{outbox.empty() ? -1 : writeFd.get(), POLLOUT, 0}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0 && !takeQueued()) break;
      if (fds[1].revents != 0 && !readSome()) break;
      if (fds[2].revents != 0 && !writeSome()) break;
    }
    end();
    for (Frame& frame : outbox) support::wipe(frame.bytes);
    outbox.clear();
    {
      // Nothing is queued after end().
      std::lock_guard lock(mutex);
      for (Frame& frame : queued) support::wipe(frame.bytes);
      queued.clear();
    }
    // The browser sees the end of its pipe at once.
    readFd.reset();
    writeFd.reset();
  }

  // Moves the commands handed over into the outbox; false once close() asked to end.
  bool takeQueued() {
    std::uint64_t count = 0;
    while (::read(wakeFd.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex);
    if (closeRequested) return false;
    while (!queued.empty()) {
      outbox.push_back(std::move(queued.front()));
      queued.pop_front();
    }
    return true;
  }

  // Writes what the pipe takes of the outbox; false when the pipe is broken.
  bool writeSome() {
    while (!outbox.empty()) {
      Frame& frame = outbox.front();
      const ssize_t n = ::write(writeFd.get(), frame.bytes.data() + frame.written,
                                frame.bytes.size() - frame.written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n < 0) {
        const int error = errno;
        const std::int64_t id = frame.id;
        if (Waiter waiter = take(id)) {
          waiter->reply.set_exception(std::make_exception_ptr(BrowserError::cdpFailure(
              "send failed: " + std::error_code(error, std::generic_category()).message())));
        }
        return false;
      }
      frame.written += static_cast<std::size_t>(n);
      if (frame.written < frame.bytes.size()) return true;
      support::wipe(frame.bytes);
      outbox.pop_front();
    }
    return true;
  }

  // Reads once and handles every message completed; false at the end of the pipe or on a
  // message that cannot be one. A reply past the limit fails its own command.
  bool readSome() {
    const ssize_t n = inbox.readFrom(readFd.get());
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) return false;
    while (std::optional<CDPMessageReader::Item> item = inbox.next()) {
      if (const auto* message = std::get_if<std::string_view>(&*item)) {
        if (!handleMessage(*message)) return false;
      } else if (Waiter waiter = take(std::get<CDPMessageReader::Oversized>(*item).id)) {
        waiter->reply.set_exception(std::make_exception_ptr(BrowserError::cdpFailure(
            "reply to " + waiter->method + " exceeds the 64 MiB message limit")));
      }
    }
    return true;
  }

  bool handleMessage(std::string_view bytes) {
    // parseJson checks UTF-8 too.
    std::optional<Json> message = support::parseJson(bytes);
    if (!message) message = support::parseJson(withoutLoneSurrogates(bytes));
    if (!message || !message->is_object()) return false;
    auto id = message->find("id");
    if (id != message->end()) {
      if (id->is_number_integer()) deliver(id->get<std::int64_t>(), *message);
      return true;
    }
    if (!onEvent) return true;
    try {
      onEvent(*message);
    } catch (...) {
      // The handler's own failure must not end the connection.
    }
    return true;
  }

  void deliver(std::int64_t id, const Json& message) {
    Waiter waiter = take(id);
    if (!waiter) return;
    if (waiter->answered) {
      try {
        waiter->answered();
      } catch (...) {
        // As for the event handler.
      }
      return;
    }
    auto error = message.find("error");
    if (error != message.end() && error->is_object()) {
      auto text = error->find("message");
      waiter->reply.set_exception(std::make_exception_ptr(BrowserError::cdpFailure(
          text != error->end() && text->is_string() ? text->get<std::string>() : "cdp error")));
      return;
    }
    auto result = message.find("result");
    waiter->reply.set_value(result != message.end() && result->is_object() ? *result
                                                                           : Json::object());
  }
};

CDPConnection::CDPConnection(support::UniqueFd readFd, support::UniqueFd writeFd,
                             EventHandler onEvent)
    : core_(std::make_shared<Core>(std::move(readFd), std::move(writeFd), std::move(onEvent))) {}

CDPConnection::~CDPConnection() {
  close();
}

void CDPConnection::connect() {
  std::lock_guard lock(core_->mutex);
  if (thread_.joinable() || core_->ended) return;
  for (int fd : {core_->readFd.get(), core_->writeFd.get()}) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  core_->wakeFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!core_->wakeFd) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread([keep = core_] { keep->run(); });
  // Commands sent before are waiting in the queue.
  core_->wake();
}

std::pair<std::int64_t, std::chrono::milliseconds> CDPConnection::enqueue(
    std::string_view method, const Json& params, const std::optional<std::string>& sessionId,
    std::shared_ptr<Pending> waiter, std::chrono::milliseconds deadline) {
  Core& core = *core_;
  std::int64_t id = 0;
  {
    std::lock_guard lock(core.mutex);
    id = core.nextId++;
    if (core.ended) std::rethrow_exception(closedError());
  }
  // A tool call's command waits no longer than the call may; with nothing left it is not sent.
  deadline = CallBudget::clamp(deadline, method);
  Json message = {{"id", id}, {"method", method}, {"params", params}};
  if (sessionId) message["sessionId"] = *sessionId;
  Frame frame{id, {}};
  try {
    // Strict: text that is not UTF-8 throws, and its error (which quotes the byte) stays here.
    frame.bytes = message.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    throw BrowserError::cdpFailure("encode failed for " + std::string(method));
  }
  frame.bytes.push_back('\0');

  bool running = false;
  {
    std::lock_guard lock(core.mutex);
    if (core.ended) {
      support::wipe(frame.bytes);
      std::rethrow_exception(closedError());
    }
    if (waiter) core.waiters.emplace(id, std::move(waiter));
    core.queued.push_back(std::move(frame));
    running = static_cast<bool>(core.wakeFd);
  }
  if (running) core.wake();
  return {id, deadline};
}

void CDPConnection::post(std::string_view method, const Json& params,
                         const std::optional<std::string>& sessionId,
                         std::function<void()> answered) {
  std::shared_ptr<Pending> waiter;
  if (answered) {
    waiter = std::make_shared<Pending>();
    waiter->method = method;
    waiter->answered = std::move(answered);
  }
  (void)enqueue(method, params, sessionId, std::move(waiter), kDefaultDeadline);
}

Json CDPConnection::send(std::string_view method, const Json& params,
                         const std::optional<std::string>& sessionId,
                         std::chrono::milliseconds deadline) {
  auto waiter = std::make_shared<Pending>();
  waiter->method = method;
  std::future<Json> reply = waiter->reply.get_future();
  std::int64_t id = 0;
  std::tie(id, deadline) = enqueue(method, params, sessionId, std::move(waiter), deadline);

  // A deadline beyond a year is a year: the clock arithmetic of wait_for must not overflow.
  const auto bounded = std::min<std::chrono::milliseconds>(deadline, std::chrono::hours(24 * 366));
  if (reply.wait_for(bounded) != std::future_status::ready) {
    bool timedOut = false;
    {
      std::lock_guard lock(core_->mutex);
      timedOut = core_->waiters.erase(id) > 0;
    }
    if (timedOut) throw BrowserError::timedOut(std::string(method));
  }
  return reply.get();
}

void CDPConnection::close() noexcept {
  Core* core = core_.get();
  std::thread thread;
  {
    std::lock_guard lock(core->mutex);
    core->closeRequested = true;
    thread = std::move(thread_);
  }
  core->end();
  if (!thread.joinable()) {
    // Never connected: the descriptors are nobody's but this object's.
    std::lock_guard lock(core->mutex);
    if (!core->wakeFd) {
      core->readFd.reset();
      core->writeFd.reset();
    }
    return;
  }
  core->wake();
  if (thread.get_id() == std::this_thread::get_id()) {
    // Closed from the event handler: the thread ends by itself once the handler returns.
    thread.detach();
  } else {
    thread.join();
  }
}

bool CDPConnection::ended() const {
  std::lock_guard lock(core_->mutex);
  return core_->ended;
}

}  // namespace varn::mcp
