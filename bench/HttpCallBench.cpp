// The cost of one http_call against a local HTTP server, beside the floor of one curl transfer
// made directly by the benchmark on a fresh easy handle: a plain call (scrubbed reply), and an
// injected call whose credential comes from a minted handle (the resolve road without the vault).
//
//   http_call_bench [--benchmark_filter=...]

#include <curl/curl.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench/BenchHttpServer.hpp"
#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/Elicitor.hpp"
#include "mcp/secrets/KillSwitch.hpp"
#include "mcp/secrets/RateLimiter.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/tools/HTTPTransport.hpp"
#include "mcp/tools/HttpCallTool.hpp"

namespace {

using namespace varn::mcp;

// A small JSON reply, as a typical API answers.
const std::string kReplyBody =
    R"({"id":"4f2a","name":"alice","roles":["admin","dev"],"created":"2026-01-01T00:00:00Z"})";

// One local server for the whole run.
varn::bench::BenchHttpServer& server() {
  static varn::bench::BenchHttpServer instance([](httplib::Server& routes) {
    routes.Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kReplyBody, "application/json");
    });
  });
  return instance;
}

// The road's collaborators that a minted handle never reaches.
class NoVault final : public VaultClient {
 public:
  VaultResponse resolve(std::string_view, bool) override { throw ToolError::upstream("no vault"); }
  VaultResponse preview(std::string_view) override { throw ToolError::upstream("no vault"); }
  std::vector<VaultListEntry> list(const std::optional<std::string>&,
                                   const std::optional<std::string>&) override {
    throw ToolError::upstream("no vault");
  }
};
class NoElicitor final : public Elicitor {
 public:
  bool requestApproval(const std::string&, const std::string&) override { return false; }
};

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

void BM_DirectCurlTransfer(benchmark::State& state) {
  const std::string url = server().url();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  for (auto _ : state) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("transfer failed");
    curl_easy_cleanup(easy);
  }
}

// A resolve road whose only source is the handle store: the vault and the elicitor are never
// reached by a minted handle.
struct Road {
  std::shared_ptr<TokenVault> tokens = std::make_shared<TokenVault>();
  std::shared_ptr<ResolveService> service =
      std::make_shared<ResolveService>(std::make_shared<NoVault>(), std::make_shared<NoElicitor>(),
                                       std::make_shared<RateLimiter>(60, 60.0), KillSwitch({}),
                                       std::make_shared<AuditLog>(std::nullopt), tokens);
};

void BM_HttpCallPlain(benchmark::State& state) {
  Road road;
  HttpCallTool tool(
      ToolServices{.resolver = road.service, .transport = std::make_shared<CurlTransport>()},
      "http_call");
  const HttpCallInput input{server().url(), "GET"};
  for (auto _ : state) benchmark::DoNotOptimize(tool.run(input));
}

void BM_HttpCallInjectedFromHandle(benchmark::State& state) {
  Road road;
  MintedHandle handle = road.tokens->mint("bench-token-value", "bench", 3600,
                                          std::vector<std::string>{"127.0.0.1"}, std::nullopt);
  HttpCallTool tool(
      ToolServices{.resolver = road.service, .transport = std::make_shared<CurlTransport>()},
      "http_call");
  HttpCallInput input{server().url(), "GET"};
  input.auth_ref = handle.handle;
  for (auto _ : state) benchmark::DoNotOptimize(tool.run(input));
}

BENCHMARK(BM_DirectCurlTransfer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpCallPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpCallInjectedFromHandle)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
