#include "tests/support/LoginSite.hpp"

#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "support/Uri.hpp"

namespace varn::tests {
namespace {

// Reports every input event, so that typing shows up at the site without a submit.
constexpr const char* kReporter =
    "<script>document.addEventListener('input', (e) => navigator.sendBeacon('/typed', "
    "new URLSearchParams({[e.target.name || e.target.id || 'field']: e.target.value})), "
    "true);</script>";

}  // namespace

struct LoginSite::Impl {
  httplib::Server server;
  std::thread thread;
  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  struct Page {
    std::string html;
    std::string next;
    std::map<std::string, std::string> headers;
  };
  std::map<std::string, Page> pages;  // guarded by mutex
  std::set<std::string> hanging;      // guarded by mutex
  bool closing = false;               // guarded by mutex
  std::vector<Request> requests;      // guarded by mutex

  void record(const httplib::Request& req) {
    std::string query;
    if (const auto mark = req.target.find('?'); mark != std::string::npos) {
      query = req.target.substr(mark + 1);
    }
    {
      std::lock_guard lock(mutex);
      requests.push_back({req.method, req.path, query, req.body, req.get_header_value("Host")});
    }
    arrived.notify_all();
  }
};

LoginSite::LoginSite() : impl_(std::make_unique<Impl>()) {
  const auto serve = [this](const httplib::Request& req, httplib::Response& res) {
    impl_->record(req);
    Impl::Page page;
    {
      std::unique_lock lock(impl_->mutex);
      if (impl_->hanging.contains(req.path)) {
        impl_->arrived.wait(lock, [&] { return impl_->closing; });
        return;
      }
      const auto found = impl_->pages.find(req.path);
      if (found == impl_->pages.end()) {
        res.status = req.path == "/typed" ? 204 : 404;
        return;
      }
      page = found->second;
    }
    if (req.method == "POST" && !page.next.empty()) {
      res.status = 303;
      res.set_header("Location", page.next);
      return;
    }
    for (const auto& [name, value] : page.headers) res.set_header(name, value);
    res.set_content(page.html + kReporter, "text/html; charset=utf-8");
  };
  impl_->server.Get(".*", serve);
  impl_->server.Post(".*", serve);
  port_ = impl_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("login site: bind failed");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // The socket listens already; waiting until the loop runs keeps a quick stop() from missing it.
  while (!impl_->server.is_running()) std::this_thread::yield();
}

LoginSite::~LoginSite() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->closing = true;
  }
  impl_->arrived.notify_all();
  impl_->server.stop();
  impl_->thread.join();
}

void LoginSite::page(const std::string& path, const std::string& html, const std::string& next,
                     const std::map<std::string, std::string>& headers) {
  std::lock_guard lock(impl_->mutex);
  impl_->pages.insert_or_assign(path, Impl::Page{html, next, headers});
}

void LoginSite::hang(const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->hanging.insert(path);
}

std::string LoginSite::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LoginSite::localhostURL(const std::string& path) const {
  return "http://localhost:" + std::to_string(port_) + path;
}

std::vector<LoginSite::Request> LoginSite::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<LoginSite::Request> LoginSite::requestsTo(const std::string& path) const {
  std::vector<Request> out;
  for (Request& request : requests()) {
    if (request.path == path) out.push_back(std::move(request));
  }
  return out;
}

bool LoginSite::waitFor(const std::string& path, std::size_t count,
                        std::chrono::milliseconds deadline) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->arrived.wait_for(lock, deadline, [&] {
    std::size_t seen = 0;
    for (const Request& request : impl_->requests) seen += request.path == path ? 1 : 0;
    return seen >= count;
  });
}

std::string formValue(const std::string& form, const std::string& name) {
  std::string spaced = form;
  for (char& c : spaced) {
    if (c == '+') c = ' ';
  }
  for (const support::QueryItem& item : support::queryItems(spaced)) {
    if (item.name == name) return item.value.value_or("");
  }
  return "";
}

}  // namespace varn::tests
