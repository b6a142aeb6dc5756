#include "mcp/tools/HTTPTransport.hpp"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/tools/testing/LocalHttpServer.hpp"

namespace varn::mcp {
namespace {

using fakes::LocalHttpServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Pair;

using Fields = std::vector<std::pair<std::string, std::string>>;

struct UrlCase {
  const char* name;
  std::string text;
  bool parses;
  std::optional<std::string> scheme;
  std::optional<std::string> host;
  bool fetchable;  // has a parsed handle
};

class HTTPURLTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(HTTPURLTest, ParsesSchemeAndHost) {
  const UrlCase& c = GetParam();
  std::optional<HTTPURL> url = HTTPURL::parse(c.text);
  ASSERT_EQ(url.has_value(), c.parses);
  if (!url) return;
  EXPECT_EQ(url->text(), c.text);
  EXPECT_EQ(url->scheme(), c.scheme);
  EXPECT_EQ(url->host(), c.host);
  EXPECT_EQ(url->handle() != nullptr, c.fetchable);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HTTPURLTest,
    ::testing::Values(
        UrlCase{"HttpsWithPortPathQuery", "https://api.example.com:8443/v1/x?y=1#f", true, "https",
                "api.example.com", true},
        UrlCase{"UpperCaseSchemeIsLowered", "HTTP://Example.COM/", true, "http", "Example.COM",
                true},
        UrlCase{"IPv6KeepsBrackets", "http://[::1]:8080/", true, "http", "[::1]", true},
        UrlCase{"DottedNameIsKeptWhole", "http://1.2.3.4.evil.com/", true, "http",
                "1.2.3.4.evil.com", true},
        UrlCase{"FileHasNoHost", "file:///etc/passwd", true, "file", std::nullopt, true},
        UrlCase{"OtherSchemeParses", "ftp://files.example.com/a", true, "ftp", "files.example.com",
                true},
        UrlCase{"BarePathIsAHostlessReference", "/just/a/path", true, std::nullopt, std::nullopt,
                false},
        UrlCase{"HostWithoutSchemeIsAHostlessReference", "example.com/path", true, std::nullopt,
                std::nullopt, false},
        UrlCase{"EmptyTextIsInvalid", "", false, std::nullopt, std::nullopt, false},
        UrlCase{"BlankInsideIsInvalid", "http://exa mple.com/", false, std::nullopt, std::nullopt,
                false},
        UrlCase{"LineBreakIsInvalid", "http://example.com/\r\nX: y", false, std::nullopt,
                std::nullopt, false},
        UrlCase{"SchemeWithoutHostIsInvalid", "http://", false, std::nullopt, std::nullopt, false}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

HTTPRequest requestTo(const std::string& url, std::string method = "GET") {
  return HTTPRequest{
      *HTTPURL::parse(url), std::move(method), {}, std::nullopt, std::chrono::seconds(60)};
}

TEST(CurlTransportTest, SendsMethodFieldsAndBodyAndReturnsTheResponse) {
  LocalHttpServer server([](const LocalHttpServer::Request&) {
    return LocalHttpServer::reply(201, {{"X-Reply", "yes"}}, "created");
  });
  HTTPRequest request = requestTo(server.url("/items?x=1"), "POST");
  request.headers = {{"Content-Type", "application/json"}, {"X-Empty", ""}};
  request.body = "{\"a\":1}";

  HTTPResponse response = CurlTransport().send(request);

  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.body, "created");
  EXPECT_THAT(response.headers, ElementsAre(Pair("X-Reply", "yes"), Pair("Content-Length", "7"),
                                            Pair("Connection", "close")));
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/items?x=1");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("X-Empty"), "");
  EXPECT_EQ(seen[0].header("Expect"), std::nullopt);
  EXPECT_EQ(seen[0].body, "{\"a\":1}");
}

TEST(CurlTransportTest, MethodsAreSentUnchanged) {
  LocalHttpServer server(
      [](const LocalHttpServer::Request&) { return LocalHttpServer::reply(200, {}, ""); });
  for (const char* method : {"get", "FROB", "DELETE"}) {
    (void)CurlTransport().send(requestTo(server.url("/"), method));
  }
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_THAT(seen[0].raw, ::testing::StartsWith("get / HTTP/1.1\r\n"));
  EXPECT_THAT(seen[1].raw, ::testing::StartsWith("FROB / HTTP/1.1\r\n"));
  EXPECT_THAT(seen[2].raw, ::testing::StartsWith("DELETE / HTTP/1.1\r\n"));
}

TEST(CurlTransportTest, AnEmptyBodyIsSentWithLengthZero) {
  LocalHttpServer server(
      [](const LocalHttpServer::Request&) { return LocalHttpServer::reply(200, {}, ""); });
  HTTPRequest request = requestTo(server.url("/"), "PUT");
  request.body = "";
  (void)CurlTransport().send(request);
  EXPECT_EQ(server.requests().at(0).header("Content-Length"), "0");
}

TEST(CurlTransportTest, HeadReturnsWithoutWaitingForABody) {
  LocalHttpServer server([](const LocalHttpServer::Request&) {
    return LocalHttpServer::reply(200, {}, "twelve bytes", /*withBody=*/false);
  });
  HTTPResponse response = CurlTransport().send(requestTo(server.url("/"), "HEAD"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(server.requests().at(0).method, "HEAD");
}

TEST(CurlTransportTest, ARedirectIsReturnedNotFollowed) {
  LocalHttpServer elsewhere(
      [](const LocalHttpServer::Request&) { return LocalHttpServer::reply(200, {}, "landed"); });
  LocalHttpServer server([&](const LocalHttpServer::Request&) {
    return LocalHttpServer::reply(302, {{"Location", elsewhere.url("/x")}}, "moved");
  });
  HTTPRequest request = requestTo(server.url("/"));
  request.headers = {{"Authorization", "Bearer t"}};
  HTTPResponse response = CurlTransport().send(request);
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(response.body, "moved");
  EXPECT_TRUE(elsewhere.requests().empty());
}

TEST(CurlTransportTest, NoCookieCarriesFromOneRequestToTheNext) {
  LocalHttpServer server([](const LocalHttpServer::Request&) {
    return LocalHttpServer::reply(200, {{"Set-Cookie", "session=abc; Path=/"}}, "");
  });
  CurlTransport transport;
  (void)transport.send(requestTo(server.url("/")));
  (void)transport.send(requestTo(server.url("/")));
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].header("Cookie"), std::nullopt);
}

TEST(CurlTransportTest, ABodyOfExactlyTheLimitArrivesWhole) {
  const std::string body(HTTPTransport::kMaxBodyBytes, 'x');
  LocalHttpServer server(
      [&](const LocalHttpServer::Request&) { return LocalHttpServer::reply(200, {}, body); });
  EXPECT_EQ(CurlTransport().send(requestTo(server.url("/"))).body.size(), body.size());
}

TEST(CurlTransportTest, ABodyOverTheLimitIsCutOffWithAnError) {
  const std::string body(HTTPTransport::kMaxBodyBytes + 1, 'x');
  LocalHttpServer server(
      [&](const LocalHttpServer::Request&) { return LocalHttpServer::reply(200, {}, body); });
  try {
    (void)CurlTransport().send(requestTo(server.url("/")));
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("response body exceeds the 1 MiB limit"));
  }
}

TEST(CurlTransportTest, OversizedHeadersAreRefusedByTheClient) {
  LocalHttpServer server([](const LocalHttpServer::Request&) {
    std::string reply = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 20000; ++i)
      reply += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
    return reply + "Content-Length: 0\r\n\r\n";
  });
  try {
    (void)CurlTransport().send(requestTo(server.url("/")));
    FAIL() << "no error";
  } catch (const HTTPClientError& error) {
    EXPECT_THAT(error.what(), HasSubstr("Too large response headers"));
  }
}

TEST(CurlTransportTest, HeaderFieldsAreTextJoinedAndFromTheLastResponse) {
  LocalHttpServer server([](const LocalHttpServer::Request&) {
    return std::string(
        "HTTP/1.1 100 Continue\r\nX-Interim: dropped\r\n\r\n"
        "HTTP/1.1 200 OK\r\n"
        "X-Latin: caf\xE9\r\n"
        "X-Utf8: caf\xC3\xA9\r\n"
        "Vary: Accept\r\n"
        "vary: Origin\r\n"
        "X-Folded: first\r\n  second\r\n"
        "X-Padded: \t padded \t\r\n"
        "Content-Length: 2\r\nConnection: close\r\n\r\nok");
  });
  HTTPResponse response = CurlTransport().send(requestTo(server.url("/")));
  EXPECT_EQ(response.status, 200);
  EXPECT_THAT(response.headers,
              ElementsAre(Pair("X-Latin", "caf\xC3\xA9"), Pair("X-Utf8", "caf\xC3\xA9"),
                          Pair("Vary", "Accept, Origin"), Pair("X-Folded", "first second"),
                          Pair("X-Padded", "padded"), Pair("Content-Length", "2"),
                          Pair("Connection", "close")));
}

TEST(CurlTransportTest, TheCallersExpectFieldIsKept) {
  LocalHttpServer server(
      [](const LocalHttpServer::Request&) { return LocalHttpServer::reply(200, {}, ""); });
  HTTPRequest request = requestTo(server.url("/"), "POST");
  request.headers = {{"Expect", "nothing-special"}};
  request.body = "x";
  (void)CurlTransport().send(request);
  EXPECT_EQ(server.requests().at(0).header("Expect"), "nothing-special");
}

TEST(CurlTransportTest, AFileUrlIsNoHttpResponseAndIsNotRead) {
  try {
    (void)CurlTransport().send(requestTo("file:///etc/hostname"));
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("non-http response"));
  }
}

struct ClientFailure {
  const char* name;
  std::string url;
  const char* messagePart;
};

class CurlTransportFailureTest : public ::testing::TestWithParam<ClientFailure> {};

TEST_P(CurlTransportFailureTest, ThrowsTheClientsError) {
  try {
    (void)CurlTransport().send(requestTo(GetParam().url));
    FAIL() << "no error";
  } catch (const HTTPClientError& error) {
    EXPECT_THAT(error.what(), HasSubstr(GetParam().messagePart));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CurlTransportFailureTest,
    ::testing::Values(ClientFailure{"HostlessReference", "/relative/path", "unsupported URL"},
                      ClientFailure{"OtherScheme", "ftp://127.0.0.1/x", "Protocol \"ftp\""},
                      // Port 1 on loopback has no listener in any test.
                      ClientFailure{"ConnectionRefused", "http://127.0.0.1:1/", "127.0.0.1"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace varn::mcp
