#include "api/endpoints/testing/FakeSyncServer.hpp"

#include <httplib.h>
#include <strings.h>

namespace varn::api::fakes {

std::optional<std::string> FakeSyncServer::Received::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

FakeSyncServer::FakeSyncServer() : server_(std::make_unique<httplib::Server>()) {
  auto handle = [this](const httplib::Request& request, httplib::Response& response) {
    Received received;
    received.method = request.method;
    const std::size_t question = request.target.find('?');
    received.path = request.target.substr(0, question);
    if (question != std::string::npos) received.query = request.target.substr(question + 1);
    for (const auto& [key, value] : request.headers) received.headers.emplace_back(key, value);
    received.body = request.body;

    Reply reply;
    {
      std::lock_guard lock(mutex_);
      received_.push_back(std::move(received));
      if (!script_.empty()) {
        reply = std::move(script_.front());
        script_.pop_front();
      }
    }
    response.status = reply.status;
    for (const auto& [key, value] : reply.headers) response.set_header(key, value);
    // Every reply but a 204 carries its length, so that the connection can be reused at once.
    if (reply.status == 204) return;
    if (reply.drip.count() == 0) {
      response.set_content(reply.body, "application/json");
      return;
    }
    auto body = std::make_shared<const std::string>(std::move(reply.body));
    response.set_content_provider(
        body->size(), "application/json",
        [body, drip = reply.drip](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          std::this_thread::sleep_for(drip);  // the slowness itself, not a wait for an event
          return sink.write(body->data() + offset, 1);
        });
  };
  server_->Get(".*", handle);
  server_->Post(".*", handle);
  server_->Put(".*", handle);
  server_->Patch(".*", handle);
  server_->Delete(".*", handle);
  server_->set_tcp_nodelay(true);  // replies leave at once, not after the peer's delayed ACK
  port_ = server_->bind_to_any_port("127.0.0.1");
  thread_ = std::make_unique<std::thread>([this] { server_->listen_after_bind(); });
}

FakeSyncServer::~FakeSyncServer() {
  // stop() is ignored until the accept loop runs; the socket already listens, so this wait is
  // short and ends without any request.
  while (!server_->is_running()) std::this_thread::yield();
  server_->stop();
  thread_->join();
}

std::string FakeSyncServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void FakeSyncServer::reply(Reply reply) {
  std::lock_guard lock(mutex_);
  script_.push_back(std::move(reply));
}

std::vector<FakeSyncServer::Received> FakeSyncServer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

}  // namespace varn::api::fakes
