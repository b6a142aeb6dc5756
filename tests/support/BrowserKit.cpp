#include "tests/support/BrowserKit.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "support/TcpTable.hpp"

namespace varn::tests {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

}  // namespace

struct PageServer::Impl {
  httplib::Server server;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable requested;
  std::map<std::string, int> counts;  // guarded by mutex
};

PageServer::PageServer(std::map<std::string, std::string> pages) : impl_(std::make_unique<Impl>()) {
  for (auto& [path, body] : pages) {
    impl_->server.Get(path, [this, body = std::move(body), path = path](const httplib::Request&,
                                                                        httplib::Response& res) {
      {
        std::lock_guard lock(impl_->mutex);
        ++impl_->counts[path];
      }
      impl_->requested.notify_all();
      res.set_content(body, "text/html; charset=utf-8");
    });
  }
  port_ = impl_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("page server: bind failed");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // The socket listens already; waiting until the loop runs keeps a quick stop() from missing it.
  while (!impl_->server.is_running()) std::this_thread::yield();
}

PageServer::~PageServer() {
  impl_->server.stop();
  impl_->thread.join();
}

std::string PageServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool PageServer::waitForRequests(const std::string& path, int count,
                                 std::chrono::milliseconds deadline) {
  std::unique_lock lock(impl_->mutex);
  return impl_->requested.wait_for(lock, deadline, [&] { return impl_->counts[path] >= count; });
}

std::vector<int> listeningPortsOf(const std::vector<pid_t>& processes) {
  const std::set<std::uint64_t> inodes = support::socketInodesOf(processes);
  std::vector<int> ports;
  for (const support::TcpSocket& socket : support::tcpSockets()) {
    if (socket.state == support::kTcpListen && inodes.contains(socket.inode)) {
      ports.push_back(socket.localPort);
    }
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

bool processAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  // The state follows the command name, which is in parentheses and may hold anything.
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
         line[close + 2] != 'X';
}

bool waitForProcessExit(pid_t pid, std::chrono::milliseconds deadline) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  const Clock::time_point until = Clock::now() + deadline;
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, remainingMs(until));
  } while (ready < 0 && errno == EINTR);
  close(fd);
  return ready > 0;
}

std::vector<std::string> profileFolders(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().filename().string().starts_with("varn-browser-")) {
      found.push_back(entry.path().string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

namespace {

// Calls `done` until it holds or `until` passes, waiting between calls for events on the inotify
// descriptor `fd` (which it closes). `done` is called after the watches are set, so nothing made or
// removed between a look and the wait is missed.
template <typename Done>
bool waitWatching(int fd, Clock::time_point until, Done done) {
  bool held = false;
  while (!(held = done())) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, remainingMs(until));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char events[4096];
    while (read(fd, events, sizeof events) > 0) {
    }
  }
  close(fd);
  return held;
}

}  // namespace

bool waitForRemoval(const std::string& path, std::chrono::milliseconds deadline) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) throw std::runtime_error("inotify_init1 failed");
  const std::string parent = std::filesystem::path(path).parent_path().string();
  inotify_add_watch(fd, parent.c_str(), IN_DELETE | IN_MOVED_FROM);
  return waitWatching(fd, Clock::now() + deadline, [&] { return !std::filesystem::exists(path); });
}

namespace {

// The first file below `folder` whose name ends with `suffix`, watching (IN_CREATE, IN_MOVED_TO)
// every folder it passes that `watched` does not hold yet.
bool findWatching(int fd, const std::filesystem::path& folder, const std::string& suffix,
                  std::set<std::string>& watched) {
  if (watched.insert(folder.string()).second) {
    inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_directory(error) && !entry.is_symlink(error)) {
      if (findWatching(fd, entry.path(), suffix, watched)) return true;
    } else if (entry.path().filename().string().ends_with(suffix)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool waitForFileBelow(const std::string& folder, const std::string& suffix,
                      std::chrono::milliseconds deadline) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) throw std::runtime_error("inotify_init1 failed");
  std::set<std::string> watched;
  // Each folder is watched before it is looked through, so nothing made meanwhile is missed.
  return waitWatching(fd, Clock::now() + deadline,
                      [&] { return findWatching(fd, folder, suffix, watched); });
}

std::vector<std::string> treeOf(const std::string& folder) {
  std::vector<std::string> tree;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::string line = std::filesystem::relative(it->path(), folder).string();
    if (it->is_regular_file(error)) line += " " + std::to_string(it->file_size(error));
    tree.push_back(line);
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

}  // namespace varn::tests
