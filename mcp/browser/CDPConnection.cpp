#include "mcp/browser/CDPConnection.hpp"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/DevToolsHTTP.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using support::Json;

namespace {

// How long connecting and the opening handshake may take; the commands' own deadlines apply too.
constexpr std::chrono::seconds kOpenTimeout{10};
// How long close() waits for the peer's close frame before dropping the socket.
constexpr std::chrono::seconds kCloseGrace{1};

// The port and request target of a loopback DevTools WebSocket URL; nullopt for any other URL.
struct Endpoint {
  std::uint16_t port = 0;
  std::string target;
};

std::optional<Endpoint> loopbackEndpoint(std::string_view url) {
  std::optional<support::UriComponents> parts = support::parseUriReference(url);
  if (!parts || parts->scheme != "ws" || !parts->host || parts->userinfo || !parts->port) {
    return std::nullopt;
  }
  if (*parts->host != "127.0.0.1" && *parts->host != "localhost") return std::nullopt;
  std::optional<std::int64_t> port = support::parseDecimalInt64(*parts->port);
  if (!port || *port < 1 || *port > 65535 || parts->port->front() == '+') return std::nullopt;
  Endpoint endpoint;
  endpoint.port = static_cast<std::uint16_t>(*port);
  endpoint.target = parts->path.empty() ? "/" : parts->path;
  if (parts->query) endpoint.target += "?" + *parts->query;
  return endpoint;
}

// A frame waiting to be written, with the id of the command it carries.
struct Frame {
  std::int64_t id;
  std::string text;
};

}  // namespace

// Everything the I/O thread touches. Handlers hold it by plain pointer: they only run inside
// io.run(), on the I/O thread, which holds a shared_ptr to the core for as long as it runs.
struct CDPConnection::Core {
  Core(std::string urlText, EventHandler handler)
      : url(std::move(urlText)), onEvent(std::move(handler)) {}

  using Waiter = std::shared_ptr<std::promise<Json>>;

  const std::string url;
  const EventHandler onEvent;

  asio::io_context io;
  websocket::stream<beast::tcp_stream> ws{io};
  asio::steady_timer closeTimer{io};

  // Guarded by mutex.
  std::mutex mutex;
  std::int64_t nextId = 1;
  std::map<std::int64_t, Waiter> waiters;
  std::exception_ptr ended;  // why the connection ended; null while it can still carry commands

  // I/O thread only.
  beast::flat_buffer buffer;
  // Frames not yet written; while `writing`, the front one is being written and Beast reads its
  // text until the write completes.
  std::deque<Frame> outbox;
  bool open = false;
  bool writing = false;
  bool closeRequested = false;
  bool closing = false;

  // Ends the connection for good with `error` (the first reason wins) and fails every waiter
  // with it.
  void end(std::exception_ptr error) {
    std::map<std::int64_t, Waiter> failed;
    {
      std::lock_guard lock(mutex);
      if (!ended) ended = error;
      failed.swap(waiters);
    }
    for (auto& [id, waiter] : failed) waiter->set_exception(error);
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

  void fail(std::int64_t id, std::exception_ptr error) {
    if (Waiter waiter = take(id)) waiter->set_exception(error);
  }

  void socketFailed(std::string_view step, const beast::error_code& ec) {
    end(std::make_exception_ptr(
        DevToolsTransportError("DevTools WebSocket " + std::string(step) + ": " + ec.message())));
    dropQueued();
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
    closeTimer.cancel();
  }

  // Drops every frame not yet being written. The one being written stays until its write
  // completes, which then takes it off the outbox.
  void dropQueued() {
    const auto first = outbox.begin() + (writing ? 1 : 0);
    for (auto frame = first; frame != outbox.end(); ++frame) support::wipe(frame->text);
    outbox.erase(first, outbox.end());
  }

  // --- the I/O thread's steps ---

  void start() {
    std::optional<Endpoint> endpoint = loopbackEndpoint(url);
    if (!endpoint) {
      end(std::make_exception_ptr(
          DevToolsTransportError("not a loopback DevTools WebSocket URL: " + url)));
      return;
    }
    ws.read_message_max(kMaxMessageBytes);
    beast::get_lowest_layer(ws).expires_after(kOpenTimeout);
    asio::ip::tcp::endpoint address(asio::ip::address_v4::loopback(), endpoint->port);
    const std::string target = endpoint->target;
    const std::string host = "127.0.0.1:" + std::to_string(endpoint->port);
    beast::get_lowest_layer(ws).async_connect(address, [this, host, target](beast::error_code ec) {
      if (closeRequested) return;
      if (ec) return socketFailed("connect failed", ec);
      beast::get_lowest_layer(ws).expires_never();
      websocket::stream_base::timeout timeouts{};
      timeouts.handshake_timeout = kOpenTimeout;
      timeouts.idle_timeout = websocket::stream_base::none();
      timeouts.keep_alive_pings = false;
      ws.set_option(timeouts);
      ws.async_handshake(host, target, [this](beast::error_code handshakeError) {
        if (closeRequested) return;
        if (handshakeError) return socketFailed("handshake failed", handshakeError);
        open = true;
        readNext();
        writeNext();
      });
    });
  }

  void readNext() {
    ws.async_read(buffer, [this](beast::error_code ec, std::size_t) {
      if (ec) {
        if (closeRequested) return;  // close() already failed every waiter
        return socketFailed("read failed", ec);
      }
      const bool text = ws.got_text();
      std::string bytes = beast::buffers_to_string(buffer.data());
      buffer.consume(buffer.size());
      handleMessage(text, bytes);
      readNext();
    });
  }

  void handleMessage(bool text, const std::string& bytes) {
    // A data frame counts only when it holds UTF-8 text; parseJson checks text frames too.
    if (!text && !support::isValidUtf8(bytes)) return;
    std::optional<Json> message = support::parseJson(bytes);
    if (!message || !message->is_object()) return;
    auto id = message->find("id");
    if (id != message->end()) {
      if (id->is_number_integer()) deliver(id->get<std::int64_t>(), *message);
      return;
    }
    if (!onEvent) return;
    try {
      onEvent(*message);
    } catch (...) {
      // The handler's own failure must not end the connection.
    }
  }

  void deliver(std::int64_t id, const Json& message) {
    Waiter waiter = take(id);
    if (!waiter) return;
    auto error = message.find("error");
    if (error != message.end() && error->is_object()) {
      auto text = error->find("message");
      waiter->set_exception(std::make_exception_ptr(BrowserError::cdpFailure(
          text != error->end() && text->is_string() ? text->get<std::string>() : "cdp error")));
      return;
    }
    auto result = message.find("result");
    waiter->set_value(result != message.end() && result->is_object() ? *result : Json::object());
  }

  void enqueue(Frame frame) {
    if (closeRequested || ended_()) {
      support::wipe(frame.text);
      return;
    }
    outbox.push_back(std::move(frame));
    if (open) writeNext();
  }

  bool ended_() {
    std::lock_guard lock(mutex);
    return ended != nullptr;
  }

  void writeNext() {
    if (writing || outbox.empty()) return;
    if (closeRequested) return beginClose();
    writing = true;
    ws.text(true);
    ws.async_write(asio::buffer(outbox.front().text), [this](beast::error_code ec, std::size_t) {
      writing = false;
      Frame frame = std::move(outbox.front());
      outbox.pop_front();
      support::wipe(frame.text);
      if (ec) {
        fail(frame.id,
             std::make_exception_ptr(BrowserError::cdpFailure("send failed: " + ec.message())));
      }
      if (closeRequested) return beginClose();
      writeNext();
    });
  }

  void requestClose() {
    if (closeRequested) return;
    closeRequested = true;
    dropQueued();
    if (!open) {
      // Connecting or handshaking: dropping the socket cancels both.
      beast::error_code ignored;
      beast::get_lowest_layer(ws).socket().close(ignored);
      return;
    }
    // The grace covers a frame still being written too: a peer that stops reading cannot hold
    // close() up.
    closeTimer.expires_after(kCloseGrace);
    closeTimer.async_wait([this](beast::error_code ec) {
      if (ec) return;  // cancelled: the close handshake finished
      beast::error_code ignored;
      beast::get_lowest_layer(ws).socket().close(ignored);
    });
    if (!writing) beginClose();
  }

  // Once no frame is being written: the close frame.
  void beginClose() {
    if (closing) return;
    closing = true;
    ws.async_close(websocket::close_code::going_away, [this](beast::error_code) {
      closeTimer.cancel();
      beast::error_code ignored;
      beast::get_lowest_layer(ws).socket().close(ignored);
    });
  }
};

CDPConnection::CDPConnection(std::string url, EventHandler onEvent)
    : core_(std::make_shared<Core>(std::move(url), std::move(onEvent))) {}

CDPConnection::~CDPConnection() {
  close();
}

void CDPConnection::connect() {
  std::lock_guard lock(core_->mutex);
  if (thread_.joinable() || core_->ended) return;
  Core* core = core_.get();
  asio::post(core->io, [core] { core->start(); });
  thread_ = std::thread([keep = core_] { keep->io.run(); });
}

Json CDPConnection::send(std::string_view method, const Json& params,
                         const std::optional<std::string>& sessionId,
                         std::chrono::milliseconds deadline) {
  Core& core = *core_;
  std::int64_t id = 0;
  {
    std::lock_guard lock(core.mutex);
    id = core.nextId++;
    if (core.ended) std::rethrow_exception(core.ended);
  }

  Json message = {{"id", id}, {"method", method}, {"params", params}};
  if (sessionId) message["sessionId"] = *sessionId;
  Frame frame{id, {}};
  try {
    // Strict: text that is not UTF-8 throws, and its error (which quotes the byte) stays here.
    frame.text = message.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    throw BrowserError::cdpFailure("encode failed for " + std::string(method));
  }

  auto waiter = std::make_shared<std::promise<Json>>();
  std::future<Json> reply = waiter->get_future();
  {
    std::lock_guard lock(core.mutex);
    if (core.ended) {
      support::wipe(frame.text);
      std::rethrow_exception(core.ended);
    }
    core.waiters.emplace(id, std::move(waiter));
  }
  Core* raw = core_.get();
  asio::post(core.io,
             [raw, frame = std::move(frame)]() mutable { raw->enqueue(std::move(frame)); });

  // A deadline beyond a year is a year: the clock arithmetic of wait_for must not overflow.
  const auto bounded = std::min<std::chrono::milliseconds>(deadline, std::chrono::hours(24 * 366));
  if (reply.wait_for(bounded) != std::future_status::ready) {
    bool timedOut = false;
    {
      std::lock_guard lock(core.mutex);
      timedOut = core.waiters.erase(id) > 0;
    }
    if (timedOut) throw BrowserError::cdpFailure("timed out waiting for " + std::string(method));
  }
  return reply.get();
}

void CDPConnection::close() noexcept {
  Core* core = core_.get();
  core->end(std::make_exception_ptr(BrowserError::cdpFailure("connection closed")));
  std::thread thread;
  {
    std::lock_guard lock(core->mutex);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  asio::post(core->io, [core] { core->requestClose(); });
  if (thread.get_id() == std::this_thread::get_id()) {
    // Closed from the event handler: the thread ends by itself once the socket is gone.
    thread.detach();
  } else {
    thread.join();
  }
}

}  // namespace varn::mcp
