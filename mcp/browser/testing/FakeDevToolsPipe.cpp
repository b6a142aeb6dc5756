#include "mcp/browser/testing/FakeDevToolsPipe.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace varn::mcp::fakes {

using support::Json;

struct FakeDevToolsPipe::Impl {
  Impl() : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    responder = [](const Json&) -> std::optional<Json> { return Json{{"result", Json::object()}}; };
  }
  ~Impl() {
    for (int fd : {in, out, wakeFd}) {
      if (fd >= 0) ::close(fd);
    }
  }

  void wake() const {
    const std::uint64_t one = 1;
    (void)::write(wakeFd, &one, sizeof one);
  }

  // The pipe's thread.
  void run() {
    std::string inbox;
    std::deque<std::string> outbox;
    std::size_t written = 0;
    for (;;) {
      std::array<pollfd, 3> fds{pollfd{wakeFd, POLLIN, 0}, pollfd{in, POLLIN, 0},
                                pollfd{outbox.empty() ? -1 : out, POLLOUT, 0}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        (void)::read(wakeFd, &count, sizeof count);
        std::lock_guard lock(mutex);
        if (stopping) return;
        if (breaking) {
          closeEnds();
          outbox.clear();
        }
        while (!pending.empty()) {
          if (out >= 0) outbox.push_back(std::move(pending.front()));
          pending.pop_front();
        }
      }
      if (in >= 0 && fds[1].revents != 0) {
        char buffer[65536];
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n <= 0) {
          std::lock_guard lock(mutex);
          ::close(in);
          in = -1;
          disconnected = true;
          changed.notify_all();
        } else {
          inbox.append(buffer, static_cast<std::size_t>(n));
          for (std::size_t nul; (nul = inbox.find('\0')) != std::string::npos;) {
            const std::string text = inbox.substr(0, nul);
            inbox.erase(0, nul + 1);
            if (std::optional<std::string> reply = received(text)) outbox.push_back(*reply);
          }
        }
      }
      if (out >= 0 && !outbox.empty() && fds[2].revents != 0) {
        const std::string& front = outbox.front();
        const ssize_t n = ::write(out, front.data() + written, front.size() - written);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
          outbox.clear();
        } else if (n > 0 && (written += static_cast<std::size_t>(n)) == front.size()) {
          outbox.pop_front();
          written = 0;
        }
      }
    }
  }

  // Records one command and asks the responder; the reply's bytes, NUL included.
  std::optional<std::string> received(const std::string& text) {
    Responder answer;
    {
      std::lock_guard lock(mutex);
      frames.push_back(text);
      answer = responder;
    }
    changed.notify_all();
    std::optional<Json> command = support::parseJson(text);
    if (!command || !answer) return std::nullopt;
    std::optional<Json> reply = answer(*command);
    if (!reply) return std::nullopt;
    if (reply->is_object() && !reply->contains("id") && command->is_object() &&
        command->contains("id")) {
      (*reply)["id"] = (*command)["id"];
    }
    return reply->dump() + std::string(1, '\0');
  }

  // Requires mutex.
  void closeEnds() {
    for (int* fd : {&in, &out}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  int in = -1;
  int out = -1;
  const int wakeFd;

  mutable std::mutex mutex;
  std::condition_variable changed;
  Responder responder;              // guarded by mutex
  std::deque<std::string> pending;  // guarded by mutex
  std::vector<std::string> frames;  // guarded by mutex
  bool disconnected = false;        // guarded by mutex
  bool breaking = false;            // guarded by mutex
  bool stopping = false;            // guarded by mutex
};

FakeDevToolsPipe::FakeDevToolsPipe() : impl_(std::make_shared<Impl>()) {
  // The server ignores SIGPIPE, so a command written after the browser's end broke is a failed
  // write; a test that breaks the pipe must see the same, not die of the signal.
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

FakeDevToolsPipe::~FakeDevToolsPipe() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake();
  if (acceptor_.joinable()) acceptor_.join();
  if (thread_.joinable()) thread_.join();
}

std::pair<int, int> FakeDevToolsPipe::makePipes() {
  int commands[2];
  int replies[2];
  if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  adopt(commands[0], replies[1]);
  return {replies[0], commands[1]};
}

void FakeDevToolsPipe::adopt(int commandsIn, int repliesOut) {
  ::fcntl(repliesOut, F_SETFL, ::fcntl(repliesOut, F_GETFL) | O_NONBLOCK);
  impl_->in = commandsIn;
  impl_->out = repliesOut;
  thread_ = std::thread([impl = impl_] { impl->run(); });
}

void FakeDevToolsPipe::adoptFromSocket(const std::string& path) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0) {
    ::close(listener);
    throw std::runtime_error("cannot listen on " + path);
  }
  acceptor_ = std::thread([this, listener] {
    std::array<pollfd, 2> fds{pollfd{listener, POLLIN, 0}, pollfd{impl_->wakeFd, POLLIN, 0}};
    while (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
    }
    const int peer = fds[0].revents != 0 ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(listener);
    if (peer < 0) return;
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(peer, &message, MSG_CMSG_CLOEXEC);
    ::close(peer);
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (n <= 0 || header == nullptr || header->cmsg_type != SCM_RIGHTS) return;
    int received[2];
    std::memcpy(received, CMSG_DATA(header), sizeof received);
    adopt(received[0], received[1]);
  });
}

void FakeDevToolsPipe::setResponder(Responder responder) {
  std::lock_guard lock(impl_->mutex);
  impl_->responder = std::move(responder);
}

void FakeDevToolsPipe::setResults(std::map<std::string, Json> resultsByMethod) {
  setResponder([results = std::move(resultsByMethod)](const Json& command) -> std::optional<Json> {
    auto method = command.find("method");
    if (method != command.end() && method->is_string()) {
      auto found = results.find(method->get<std::string>());
      if (found != results.end()) return Json{{"result", found->second}};
    }
    return Json{{"result", Json::object()}};
  });
}

void FakeDevToolsPipe::sendText(const std::string& text) {
  sendBytes(text + std::string(1, '\0'));
}

void FakeDevToolsPipe::sendBytes(std::string bytes) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->pending.push_back(std::move(bytes));
  }
  impl_->wake();
}

void FakeDevToolsPipe::breakConnection() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->breaking = true;
  }
  impl_->wake();
}

std::vector<std::string> FakeDevToolsPipe::frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frames;
}

std::vector<Json> FakeDevToolsPipe::commands() const {
  std::vector<Json> out;
  for (const std::string& text : frames()) out.push_back(support::parseJson(text).value_or(Json()));
  return out;
}

bool FakeDevToolsPipe::waitForFrames(std::size_t count, std::chrono::milliseconds deadline) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, deadline, [&] { return impl_->frames.size() >= count; });
}

bool FakeDevToolsPipe::waitForDisconnect(std::chrono::milliseconds deadline) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, deadline, [&] { return impl_->disconnected; });
}

}  // namespace varn::mcp::fakes
