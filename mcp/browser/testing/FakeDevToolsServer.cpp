#include "mcp/browser/testing/FakeDevToolsServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <utility>

namespace varn::mcp::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using support::Json;
using tcp = asio::ip::tcp;

namespace {

struct OutFrame {
  bool text;
  std::string bytes;
};

}  // namespace

struct FakeDevToolsServer::Impl {
  class Connection;

  asio::io_context io;
  tcp::acceptor acceptor{io};

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::pair<int, std::string>> httpReplies;
  Responder responder;
  std::vector<std::string> frames;
  std::vector<Handshake> handshakes;
  std::vector<int> closeCodes;
  std::size_t disconnects = 0;
  std::size_t httpRequests = 0;
  std::weak_ptr<Connection> newest;  // touched on the I/O thread only
  std::vector<std::weak_ptr<Connection>> all;

  void accept();
  void push(OutFrame frame);
  void breakNewest();
  void shutdown();
};

// One accepted TCP connection: a plain HTTP request, or a WebSocket after an upgrade.
class FakeDevToolsServer::Impl::Connection
    : public std::enable_shared_from_this<FakeDevToolsServer::Impl::Connection> {
 public:
  Connection(Impl& server, tcp::socket socket) : server_(server), ws_(std::move(socket)) {}

  void start() {
    auto self = shared_from_this();
    http::async_read(ws_.next_layer(), buffer_, request_,
                     [self](beast::error_code ec, std::size_t) {
                       if (ec) return;
                       self->route();
                     });
  }

  void push(OutFrame frame) {
    if (!open_) return;
    outbox_.push_back(std::move(frame));
    writeNext();
  }

  void drop() {
    beast::error_code ignored;
    ws_.next_layer().socket().close(ignored);
  }

 private:
  void route() {
    if (websocket::is_upgrade(request_)) return upgrade();
    std::pair<int, std::string> reply{404, "not found"};
    {
      std::lock_guard lock(server_.mutex);
      ++server_.httpRequests;
      auto found = server_.httpReplies.find(std::string(request_.target()));
      if (found != server_.httpReplies.end()) reply = found->second;
    }
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.first), 11);
    response->set(http::field::content_type, "application/json; charset=UTF-8");
    response->keep_alive(false);
    response->body() = std::move(reply.second);
    response->prepare_payload();
    auto self = shared_from_this();
    http::async_write(ws_.next_layer(), *response,
                      [self, response](beast::error_code, std::size_t) { self->drop(); });
  }

  void upgrade() {
    Handshake handshake;
    handshake.target = std::string(request_.target());
    handshake.host = std::string(request_[http::field::host]);
    if (request_.find(http::field::origin) != request_.end()) {
      handshake.origin = std::string(request_[http::field::origin]);
    }
    {
      std::lock_guard lock(server_.mutex);
      server_.handshakes.push_back(std::move(handshake));
    }
    ws_.read_message_max(64 * 1024 * 1024);
    auto self = shared_from_this();
    ws_.async_accept(request_, [self](beast::error_code ec) {
      if (ec) return;
      self->open_ = true;
      self->server_.newest = self;
      self->server_.all.push_back(self);
      self->read();
    });
  }

  void read() {
    auto self = shared_from_this();
    ws_.async_read(buffer_, [self](beast::error_code ec, std::size_t) {
      if (ec) return self->ended();
      std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      self->received(text);
      self->read();
    });
  }

  void received(const std::string& text) {
    Responder responder;
    {
      std::lock_guard lock(server_.mutex);
      server_.frames.push_back(text);
      responder = server_.responder;
    }
    server_.changed.notify_all();
    std::optional<Json> command = support::parseJson(text);
    if (!command || !responder) return;
    std::optional<Json> reply = responder(*command);
    if (!reply) return;
    if (reply->is_object() && !reply->contains("id") && command->is_object() &&
        command->contains("id")) {
      (*reply)["id"] = (*command)["id"];
    }
    // Frames the responder pushed were posted, so they follow this reply.
    outbox_.push_back(OutFrame{true, reply->dump()});
    writeNext();
  }

  void writeNext() {
    if (writing_ || outbox_.empty() || !open_) return;
    writing_ = true;
    ws_.text(outbox_.front().text);
    auto self = shared_from_this();
    ws_.async_write(asio::buffer(outbox_.front().bytes), [self](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      self->outbox_.pop_front();
      if (ec) return;
      self->writeNext();
    });
  }

  void ended() {
    open_ = false;
    {
      std::lock_guard lock(server_.mutex);
      if (ws_.reason().code != websocket::close_code::none) {
        server_.closeCodes.push_back(static_cast<int>(ws_.reason().code));
      }
      ++server_.disconnects;
    }
    server_.changed.notify_all();
  }

  Impl& server_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  std::deque<OutFrame> outbox_;
  bool open_ = false;
  bool writing_ = false;
};

void FakeDevToolsServer::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec) return;  // the acceptor was closed
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<Connection>(*this, std::move(socket))->start();
    accept();
  });
}

void FakeDevToolsServer::Impl::push(OutFrame frame) {
  if (auto connection = newest.lock()) connection->push(std::move(frame));
}

void FakeDevToolsServer::Impl::breakNewest() {
  if (auto connection = newest.lock()) connection->drop();
}

void FakeDevToolsServer::Impl::shutdown() {
  beast::error_code ignored;
  acceptor.close(ignored);
  for (auto& weak : all) {
    if (auto connection = weak.lock()) connection->drop();
  }
}

FakeDevToolsServer::FakeDevToolsServer() : impl_(std::make_unique<Impl>()) {
  tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(asio::socket_base::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  impl_->httpReplies["/json/version"] = {
      200, Json{{"Browser", "Fake/1.0"}, {"webSocketDebuggerUrl", webSocketURL()}}.dump()};
  impl_->httpReplies["/json"] = {200, "[]"};
  impl_->responder = [](const Json&) -> std::optional<Json> {
    return Json{{"result", Json::object()}};
  };
  impl_->accept();
  thread_ = std::thread([impl = impl_.get()] { impl->io.run(); });
}

FakeDevToolsServer::~FakeDevToolsServer() {
  asio::post(impl_->io, [impl = impl_.get()] { impl->shutdown(); });
  asio::post(impl_->io, [impl = impl_.get()] { impl->io.stop(); });
  thread_.join();
}

std::string FakeDevToolsServer::webSocketURL() const {
  return "ws://127.0.0.1:" + std::to_string(port_) + "/devtools/browser/fake";
}

void FakeDevToolsServer::setHTTPReply(const std::string& target, int status, std::string body) {
  std::lock_guard lock(impl_->mutex);
  impl_->httpReplies[target] = {status, std::move(body)};
}

void FakeDevToolsServer::setResponder(Responder responder) {
  std::lock_guard lock(impl_->mutex);
  impl_->responder = std::move(responder);
}

void FakeDevToolsServer::setResults(std::map<std::string, Json> resultsByMethod) {
  setResponder([results = std::move(resultsByMethod)](const Json& command) -> std::optional<Json> {
    auto method = command.find("method");
    if (method != command.end() && method->is_string()) {
      auto found = results.find(method->get<std::string>());
      if (found != results.end()) return Json{{"result", found->second}};
    }
    return Json{{"result", Json::object()}};
  });
}

void FakeDevToolsServer::sendText(std::string text) {
  asio::post(impl_->io, [impl = impl_.get(), text = std::move(text)]() mutable {
    impl->push(OutFrame{true, std::move(text)});
  });
}

void FakeDevToolsServer::sendBinary(std::string bytes) {
  asio::post(impl_->io, [impl = impl_.get(), bytes = std::move(bytes)]() mutable {
    impl->push(OutFrame{false, std::move(bytes)});
  });
}

void FakeDevToolsServer::breakConnection() {
  asio::post(impl_->io, [impl = impl_.get()] { impl->breakNewest(); });
}

std::vector<std::string> FakeDevToolsServer::frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frames;
}

std::vector<Json> FakeDevToolsServer::commands() const {
  std::vector<Json> out;
  for (const std::string& text : frames()) out.push_back(support::parseJson(text).value_or(Json()));
  return out;
}

bool FakeDevToolsServer::waitForFrames(std::size_t count, std::chrono::milliseconds deadline) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, deadline, [&] { return impl_->frames.size() >= count; });
}

bool FakeDevToolsServer::waitForDisconnects(std::size_t count, std::chrono::milliseconds deadline) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, deadline, [&] { return impl_->disconnects >= count; });
}

std::vector<FakeDevToolsServer::Handshake> FakeDevToolsServer::handshakes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->handshakes;
}

std::vector<int> FakeDevToolsServer::closeCodes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->closeCodes;
}

std::size_t FakeDevToolsServer::httpRequestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->httpRequests;
}

}  // namespace varn::mcp::testing
