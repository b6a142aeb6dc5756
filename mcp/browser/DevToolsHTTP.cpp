#include "mcp/browser/DevToolsHTTP.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>

namespace varn::mcp {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

DevToolsHTTPResponse getDevToolsEndpoint(std::int64_t port, std::string_view target,
                                         std::chrono::milliseconds deadline) {
  const std::string where = "127.0.0.1:" + std::to_string(port);
  if (port < 1 || port > 65535) {
    throw DevToolsTransportError("DevTools request to " + where + " failed: invalid port");
  }

  asio::io_context io;
  beast::tcp_stream stream(io);
  http::request<http::empty_body> request(http::verb::get, std::string(target), 11);
  request.set(http::field::host, where);
  http::response_parser<http::string_body> parser;
  parser.body_limit(kDevToolsHTTPMaxBody);
  beast::flat_buffer buffer;
  beast::error_code failure;

  // One deadline over the whole exchange: the stream's expiry is set once and never renewed.
  stream.expires_after(deadline);
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                         static_cast<std::uint16_t>(port));
  stream.async_connect(endpoint, [&](beast::error_code ec) {
    if (ec) {
      failure = ec;
      return;
    }
    http::async_write(stream, request, [&](beast::error_code writeError, std::size_t) {
      if (writeError) {
        failure = writeError;
        return;
      }
      http::async_read(stream, buffer, parser,
                       [&](beast::error_code readError, std::size_t) { failure = readError; });
    });
  });
  io.run();

  if (failure) {
    throw DevToolsTransportError("DevTools request to " + where + std::string(target) +
                                 " failed: " + failure.message());
  }
  beast::error_code ignored;
  stream.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  DevToolsHTTPResponse response;
  response.status = static_cast<int>(parser.get().result_int());
  response.body = std::move(parser.get().body());
  return response;
}

}  // namespace varn::mcp
