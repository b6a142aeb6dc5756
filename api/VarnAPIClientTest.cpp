// The one request path against a local fake sync server: error mapping, reply decoding, the
// session token and where it may go, path segments, URL joining and the transport's limits.

#include "api/VarnAPIClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/endpoints/testing/FakeSyncServer.hpp"

namespace varn::api {
namespace {

using fakes::FakeSyncServer;
using ::testing::HasSubstr;
using ::testing::Not;

const UUID kOrg = *UUID::parse("1F0C3A52-6B1D-4E2A-9C3B-0D4E5F6A7B8C");
const UUID kItem = *UUID::parse("5A1B3C4D-0000-4000-8000-000000000004");

template <typename Call>
APIError errorOf(Call call) {
  try {
    call();
  } catch (const APIError& error) {
    return error;
  }
  ADD_FAILURE() << "no APIError";
  return APIError::decoding("none");
}

class ClientTest : public ::testing::Test {
 protected:
  FakeSyncServer server;
  std::shared_ptr<CurlHttpSession> session = std::make_shared<CurlHttpSession>();
  VarnAPIClient client{server.url("/"), session};
};

struct StatusCase {
  const char* name;
  int status;
  std::string body;
  APIError expected;
};

class ErrorMappingTest : public ClientTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ErrorMappingTest, MapsTheStatusAndTheEnvelope) {
  server.reply({GetParam().status, GetParam().body});
  EXPECT_EQ(errorOf([&] { (void)client.getItem(kItem); }), GetParam().expected);
}

const std::string kDown = R"({"error":{"code":"unavailable","message":"down"}})";

INSTANTIATE_TEST_SUITE_P(
    Statuses, ErrorMappingTest,
    ::testing::Values(
        StatusCase{"Unauthorized", 401, R"({"error":{"code":"auth","message":"log in"}})",
                   APIError::unauthorized("log in")},
        StatusCase{"Forbidden", 403, R"({"error":{"code":"f","message":"no"}})",
                   APIError::forbidden("no")},
        StatusCase{"NotFoundWithoutJson", 404, "<html>gone</html>", APIError::notFound("")},
        StatusCase{"ConflictWithRevision", 409,
                   R"({"error":{"code":"c","message":"stale"},"current_revision":7})",
                   APIError::conflict(7)},
        StatusCase{"ConflictWithoutRevision", 409, R"({"error":{"code":"c","message":"stale"}})",
                   APIError::conflict(0)},
        // A revision that is no 64-bit whole number counts as none, even where a double would
        // round it to one.
        StatusCase{
            "ConflictWithRevisionBelowInt64", 409,
            R"({"error":{"code":"c","message":"stale"},"current_revision":-9223372036854775809})",
            APIError::conflict(0)},
        StatusCase{
            "ConflictWithRevisionWithAFraction", 409,
            R"({"error":{"code":"c","message":"stale"},"current_revision":12345678901234567890123e-5})",
            APIError::conflict(0)},
        StatusCase{"Validation", 422, R"({"error":{"code":"v","message":"bad name"}})",
                   APIError::validation("bad name")},
        StatusCase{"RateLimited", 429, R"({"error":{"code":"r","message":"slow down"}})",
                   APIError::rateLimited("slow down")},
        StatusCase{"Server", 500, R"({"error":{"code":"s","message":"oops"}})",
                   APIError::server("oops")},
        StatusCase{"UnavailableIsTransport", 503, kDown, APIError::transport(503, "down")},
        StatusCase{"EnvelopeWithoutCodeIsNoEnvelope", 401, R"({"error":{"message":"log in"}})",
                   APIError::unauthorized("")},
        StatusCase{"OtherStatusWithoutBody", 418, "", APIError::transport(418, "")}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct ReplyCase {
  const char* name;
  int status;
  std::string body;
  std::string errorText;  // a part of the decoding payload
};

class ReplyDecodingTest : public ClientTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyDecodingTest, FailsWithTheCodersText) {
  server.reply({GetParam().status, GetParam().body});
  APIError error = errorOf([&] { (void)client.getItem(kItem); });
  EXPECT_EQ(error.errorCase(), APIError::Case::decoding);
  EXPECT_THAT(error.message(), HasSubstr(GetParam().errorText));
}

// An item reply with one member replaced.
std::string itemWith(const std::string& member) {
  std::string base =
      R"({"id":"5A1B3C4D-0000-4000-8000-000000000004","collection_id":"5A1B3C4D-0000-4000-8000-000000000004",)"
      R"("type":"login","name_blob":"n","content_blob":"c","crypto_params":null,)"
      R"("wrapped_item_key":"k","ai_access":"a","revision":1,"updated_at":"2025-03-01T12:00:00Z")";
  return base + (member.empty() ? "" : "," + member) + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyDecodingTest,
    ::testing::Values(
        ReplyCase{"EmptyBodyOf204", 204, "", "not valid JSON"},
        ReplyCase{"NotJson", 200, "{", "not valid JSON"},
        ReplyCase{"NotAnObject", 200, "[]", "must be a JSON object"},
        ReplyCase{"MissingKey", 200, R"({"id":"5A1B3C4D-0000-4000-8000-000000000004"})",
                  "missing required key \"collection_id\""},
        ReplyCase{"BadUuid", 200, itemWith(R"("id":"not-a-uuid")"), "\"id\""},
        ReplyCase{"DateWithoutTime", 200, itemWith(R"("updated_at":"2025-03-01")"),
                  "invalid RFC3339 date: 2025-03-01"},
        ReplyCase{"RevisionWithFraction", 200, itemWith(R"("revision":1.5)"), "\"revision\""},
        ReplyCase{"RevisionAsText", 200, itemWith(R"("revision":"1")"), "\"revision\""}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ClientTest, DuplicateKeysTakeTheLastAndTheRecordDecodes) {
  server.reply({200, itemWith("")});
  EXPECT_EQ(client.getItem(kItem).crypto_params.value, JSONValue::null());
}

TEST_F(ClientTest, An204WithoutBodySatisfiesACallThatDropsItsReply) {
  server.reply({204, ""});
  EXPECT_NO_THROW(client.deleteItem(kItem));
}

// The requests exactly as the request path hands them to its session.
class RecordingSession final : public HttpSession {
 public:
  HttpResponse perform(const HttpRequest& request) override {
    seen.push_back(request);
    return {200, R"({"now":"2025-03-01T12:00:00Z"})"};
  }
  std::vector<HttpRequest> seen;
};

TEST(ClientRequestTest, TheTokenIsSentOnlyWhileSetAndAnEmptyOneStillCounts) {
  auto session = std::make_shared<RecordingSession>();
  VarnAPIClient client("https://sync.example/api", session);
  (void)client.sync(std::nullopt);
  client.setSessionToken("");
  (void)client.sync(std::nullopt);
  client.setSessionToken(std::nullopt);
  (void)client.sync(*InternetDate::parse("2025-03-01T13:00:00.999+01:00"));
  using Fields = std::vector<std::pair<std::string, std::string>>;
  ASSERT_EQ(session->seen.size(), 3u);
  EXPECT_EQ(session->seen[0].url, "https://sync.example/api/sync");
  EXPECT_EQ(session->seen[0].method, "GET");
  EXPECT_EQ(session->seen[0].body, std::nullopt);
  EXPECT_EQ(session->seen[0].headers, (Fields{{"Content-Type", "application/json"}}));
  EXPECT_EQ(session->seen[1].headers,
            (Fields{{"Content-Type", "application/json"}, {"Authorization", "Bearer "}}));
  EXPECT_EQ(session->seen[2].headers, (Fields{{"Content-Type", "application/json"}}));
  EXPECT_EQ(session->seen[2].url, "https://sync.example/api/sync?since=2025-03-01T12:00:00Z");
}

TEST_F(ClientTest, LoginFinishKeepsTheTokenAndLogoutLeavesIt) {
  server.reply({401, R"({"error":{"code":"a","message":"bad assertion"}})"});
  server.reply({200, R"({"session_token":"s3cr3t","expires_at":"2025-03-01T12:00:00Z"})"});
  client.setSessionToken("old");
  EXPECT_EQ(errorOf([&] { (void)client.loginFinish({1}); }),
            APIError::unauthorized("bad assertion"));
  (void)client.loginFinish({1});
  client.logout();
  server.reply({200, "[]"});
  (void)client.members(kOrg);
  auto received = server.received();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0].header("Authorization"), "Bearer old");
  EXPECT_EQ(received[1].header("Authorization"), "Bearer old");
  EXPECT_EQ(received[2].header("Authorization"), "Bearer s3cr3t");
  EXPECT_EQ(received[3].header("Authorization"), "Bearer s3cr3t");
}

TEST_F(ClientTest, ATokenThatCouldSplitTheHeaderFailsBeforeAnythingIsSent) {
  for (std::string token : {std::string("s3cr3t\r\nX-Injected: 1"), std::string("s3cr3t\n"),
                            std::string("s3cr3t\0x", 8)}) {
    client.setSessionToken(token);
    APIError error = errorOf([&] { client.logout(); });
    EXPECT_EQ(error.errorCase(), APIError::Case::transport);
    EXPECT_EQ(error.status(), -1);
    EXPECT_THAT(std::string(error.what()), Not(HasSubstr("s3cr3t")));
  }
  EXPECT_TRUE(server.received().empty());
}

TEST(ClientRedirectTest, ARedirectToAnotherPortDoesNotCarryTheToken) {
  FakeSyncServer server;
  FakeSyncServer other;
  other.reply({200, R"({"now":"2025-03-01T12:00:00Z"})"});
  server.reply({302, "", {{"Location", server.url("/moved")}}});
  server.reply({307, "", {{"Location", other.url("/elsewhere")}}});
  // A session of its own, closed before `other` stops.
  VarnAPIClient client(server.url("/"), std::make_shared<CurlHttpSession>());
  client.setSessionToken("s3cr3t");

  EXPECT_EQ(client.sync(std::nullopt).now, *InternetDate::parse("2025-03-01T12:00:00Z"));

  auto here = server.received();
  ASSERT_EQ(here.size(), 2u);
  EXPECT_EQ(here[1].path, "/moved");  // same origin: the token goes along
  EXPECT_EQ(here[1].header("Authorization"), "Bearer s3cr3t");
  auto there = other.received();
  ASSERT_EQ(there.size(), 1u);
  EXPECT_EQ(there[0].path, "/elsewhere");
  EXPECT_EQ(there[0].header("Authorization"), std::nullopt);
}

TEST_F(ClientTest, OneSessionServesEveryMethodInTurnWithNothingLeftOver) {
  const std::string item =
      R"({"id":"5A1B3C4D-0000-4000-8000-000000000004","collection_id":"5A1B3C4D-0000-4000-8000-)"
      R"(000000000004","type":"t","name_blob":"n","content_blob":"c","crypto_params":{},)"
      R"("wrapped_item_key":"k","ai_access":"a","revision":2,"updated_at":"2025-03-01T12:00:00Z"})";
  server.reply({200, item});
  server.reply({204, ""});
  server.reply({200, item});
  server.reply({204, ""});
  server.reply({204, ""});
  (void)client.putItem(kItem, ItemWriteBody{}, 1);
  client.deleteItem(kItem);
  (void)client.getItem(kItem);
  client.logout();
  client.setMemberRole(kOrg, kItem, "r");
  auto received = server.received();
  ASSERT_EQ(received.size(), 5u);
  const char* methods[] = {"PUT", "DELETE", "GET", "POST", "PATCH"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(received[i].method, methods[i]);
  EXPECT_THAT(received[0].body, HasSubstr("expected_revision"));
  for (int i = 1; i < 4; ++i) EXPECT_EQ(received[i].body, "") << methods[i];
  EXPECT_EQ(received[4].body, R"({"role":"r"})");
}

TEST_F(ClientTest, CookiesOfTheServerComeBackWithinTheSession) {
  server.reply({200, "", {{"Set-Cookie", "sid=abc; Path=/"}}});
  client.logout();
  client.logout();
  auto received = server.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].header("Cookie"), std::nullopt);
  EXPECT_EQ(received[1].header("Cookie"), "sid=abc");
}

struct SegmentCase {
  const char* name;
  std::string id;
  std::string segment;
};

class PathSegmentTest : public ClientTest, public ::testing::WithParamInterface<SegmentCase> {};

TEST_P(PathSegmentTest, AnInviteIdStaysOneSegment) {
  server.reply({204, ""});
  client.revokeInvite(kOrg, GetParam().id);
  auto received = server.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].path, "/orgs/" + kOrg.toString() + "/invites/" + GetParam().segment);
  EXPECT_EQ(received[0].query, "");
}

INSTANTIATE_TEST_SUITE_P(
    Ids, PathSegmentTest,
    ::testing::Values(SegmentCase{"Plain", "inv-1_a.b~c", "inv-1_a.b~c"},
                      SegmentCase{"Traversal",
                                  "x/../../members/1F0C3A52-6B1D-4E2A-9C3B-0D4E5F6A7B8C",
                                  "x%2F..%2F..%2Fmembers%2F1F0C3A52-6B1D-4E2A-9C3B-0D4E5F6A7B8C"},
                      SegmentCase{"DotDot", "..", "%2E%2E"}, SegmentCase{"Dot", ".", "%2E"},
                      SegmentCase{"Percent", "a%2Fb", "a%252Fb"},
                      SegmentCase{"QueryAndFragment", "q?x=1#y", "q%3Fx=1%23y"},
                      SegmentCase{"BlankAndUnicode", "a b\xC3\xA9", "a%20b%C3%A9"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ClientURLTest, ExactlyOneSlashJoinsTheBasePathAndTheRequestPath) {
  FakeSyncServer server;
  auto session = std::make_shared<CurlHttpSession>();
  for (const char* base : {"/api", "/api/", "/api//"}) {
    VarnAPIClient(server.url(base), session).logout();
  }
  VarnAPIClient(server.url(""), session).logout();
  auto received = server.received();
  ASSERT_EQ(received.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(received[i].path, "/api/auth/logout");
  EXPECT_EQ(received[3].path, "/auth/logout");
}

TEST(ClientURLTest, ABaseThatIsNotHttpFailsAsANonHttpResponse) {
  for (const char* base : {"ftp://127.0.0.1/", "file:///tmp/x", "not a url", "/relative"}) {
    VarnAPIClient client(base, std::make_shared<CurlHttpSession>());
    EXPECT_EQ(errorOf([&] { client.logout(); }), APIError::transport(-1, "non-HTTP response"))
        << base;
  }
}

TEST(ClientTransportTest, AFailedExchangeIsTransportWithCurlsText) {
  // A port held bound but not listening refuses every connection for as long as it is held.
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  VarnAPIClient client("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
                       std::make_shared<CurlHttpSession>());
  APIError error = errorOf([&] { client.logout(); });
  close(holder);
  EXPECT_EQ(error.errorCase(), APIError::Case::transport);
  EXPECT_EQ(error.status(), -1);
  EXPECT_THAT(error.message(), HasSubstr("127.0.0.1"));
}

TEST(ClientTransportTest, AReplyDrippedSlowerThanTheDeadlineAllowsIsCutOffThere) {
  FakeSyncServer server;
  // 4 bytes a second never stalls; the whole reply would take 10 seconds.
  server.reply({200, std::string(40, ' '), {}, std::chrono::milliseconds(250)});
  VarnAPIClient client(server.url("/"),
                       std::make_shared<CurlHttpSession>(std::chrono::milliseconds(300)));
  APIError error = errorOf([&] { client.logout(); });
  EXPECT_EQ(error.errorCase(), APIError::Case::transport);
  EXPECT_EQ(error.status(), -1);
  EXPECT_THAT(error.message(), HasSubstr("timed out"));
}

TEST_F(ClientTest, AReplyBodyOver64MiBIsCutOff) {
  server.reply({200, std::string(kMaxReplyBytes + 1, ' ')});
  EXPECT_EQ(errorOf([&] { client.logout(); }), APIError::transport(200, "response too large"));
  server.reply({200, std::string(kMaxReplyBytes, ' ')});
  EXPECT_NO_THROW(client.logout());
}

// A session of the host's own that fails in its own way.
class FailingSession final : public HttpSession {
 public:
  HttpResponse perform(const HttpRequest&) override { throw std::runtime_error("offline"); }
};

TEST(ClientTransportTest, AnyFailureOfTheSessionIsTransport) {
  VarnAPIClient client("https://sync.example", std::make_shared<FailingSession>());
  EXPECT_EQ(errorOf([&] { client.logout(); }), APIError::transport(-1, "offline"));
}

TEST_F(ClientTest, ConcurrentCallsAndTokenChangesShareOneClient) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        client.setSessionToken("token-" + std::to_string(t));
        client.logout();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto received = server.received();
  ASSERT_EQ(received.size(), 40u);
  for (const auto& request : received) {
    EXPECT_THAT(request.header("Authorization").value_or(""), HasSubstr("Bearer token-"));
  }
}

TEST(APIErrorTest, PrintsTheCaseAndItsPayloads) {
  EXPECT_STREQ(APIError::notFound("no \"x\"").what(), R"(notFound(message: "no \"x\""))");
  EXPECT_STREQ(APIError::conflict(7).what(), "conflict(currentRevision: 7)");
  EXPECT_STREQ(APIError::transport(503, "down").what(),
               R"(transport(status: 503, message: "down"))");
  EXPECT_STREQ(APIError::decoding("wrapped").what(), R"(decoding("wrapped"))");
  EXPECT_NE(APIError::server("a"), APIError::validation("a"));
}

}  // namespace
}  // namespace varn::api
