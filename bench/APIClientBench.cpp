// The sync-server client against a local cpp-httplib server, each beside its floor: one plain
// curl transfer of the same bytes made by the benchmark itself on one reused easy handle, and for
// decoding, parsing the same bytes into a plain nlohmann value.
//
//   api_client_bench [--benchmark_filter=...] [--benchmark_repetitions=9
//                     --benchmark_enable_random_interleaving=true]
//
// Cases: one sync call whose reply holds 10,000 items; one item write (PUT); 1,000 sequential
// small calls (an item read each).

#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "api/VarnAPIClient.hpp"
#include "api/core/WireCoding.hpp"
#include "bench/BenchHttpServer.hpp"

namespace {

using namespace varn::api;

const char* kItemId = "5A1B3C4D-0000-4000-8000-000000000004";

std::string uuidNumber(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "5A1B3C4D-0000-4000-8000-%012d", n);
  return text;
}

std::string syncReply(int items) {
  std::string out = R"({"now":"2025-03-01T12:00:00Z","items":[)";
  for (int i = 0; i < items; ++i) {
    if (i > 0) out += ',';
    out += R"({"id":")" + uuidNumber(i) +
           R"(","collection_id":"3A1B3C4D-0000-4000-8000-000000000002","revision":)" +
           std::to_string(i) + R"(,"updated_at":"2025-03-01T12:00:00.250Z","deleted":false})";
  }
  out += R"(],"collections":[]})";
  return out;
}

const std::string kItemReply =
    R"({"id":"5A1B3C4D-0000-4000-8000-000000000004","collection_id":"3A1B3C4D-0000-4000-8000-000000000002",)"
    R"("type":"login","name_blob":"bmFtZQ","content_blob":"Y29udGVudCBibG9iIG9mIGEgdHlwaWNhbCBpdGVt",)"
    R"("crypto_params":{"envelope_version":1},"wrapped_item_key":"d3JhcHBlZCBpdGVtIGtleQ",)"
    R"("ai_access":"injectable","revision":7,"updated_at":"2025-03-01T12:00:00Z"})";

const std::string& syncBody() {
  static const std::string body = syncReply(10000);
  return body;
}

// One local server for the whole run.
varn::bench::BenchHttpServer& server() {
  static varn::bench::BenchHttpServer instance([](httplib::Server& routes) {
    routes.Get("/sync", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(syncBody(), "application/json");
    });
    auto item = [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kItemReply, "application/json");
    };
    routes.Get("/items/.*", item);
    routes.Put("/items/.*", item);
  });
  return instance;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// The floor: the same exchange made directly with libcurl on one reused handle.
class DirectCurl {
 public:
  DirectCurl() : easy_(curl_easy_init()) {
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  }
  ~DirectCurl() { curl_easy_cleanup(easy_); }
  const std::string& fetch(const std::string& url, const char* method = "GET",
                           const std::string* body = nullptr) {
    body_.clear();
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method);
    if (body != nullptr) {
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body->data());
    }
    if (curl_easy_perform(easy_) != CURLE_OK) throw std::runtime_error("transfer failed");
    return body_;
  }

 private:
  CURL* easy_;
  std::string body_;
};

VarnAPIClient makeClient() {
  return VarnAPIClient(server().url("/"), std::make_shared<CurlHttpSession>());
}

ItemWriteBody writeBody() {
  return ItemWriteBody{std::nullopt,
                       "bmFtZQ",
                       "Y29udGVudCBibG9iIG9mIGEgdHlwaWNhbCBpdGVt",
                       CryptoParamsDTO(1),
                       "d3JhcHBlZCBpdGVtIGtleQ",
                       "injectable"};
}

// --- one sync call returning 10,000 items --------------------------------------------------------

void BM_SyncFloorCurl(benchmark::State& state) {
  DirectCurl curl;
  const std::string url = server().url("/sync");
  for (auto _ : state) benchmark::DoNotOptimize(curl.fetch(url).size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * syncBody().size()));
}

void BM_SyncClient(benchmark::State& state) {
  VarnAPIClient client = makeClient();
  for (auto _ : state) benchmark::DoNotOptimize(client.sync(std::nullopt).items.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * syncBody().size()));
}

void BM_SyncParseFloorNlohmann(benchmark::State& state) {
  const std::string& body = syncBody();
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(body).size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void BM_SyncDecodeRecords(benchmark::State& state) {
  const std::string& body = syncBody();
  for (auto _ : state) benchmark::DoNotOptimize(decodeReply<SyncResponseDTO>(body).items.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

// --- one item write ------------------------------------------------------------------------------

void BM_PutItemFloorCurl(benchmark::State& state) {
  DirectCurl curl;
  const std::string url = server().url(std::string("/items/") + kItemId);
  const std::string body =
      R"({"name_blob":"bmFtZQ","content_blob":"Y29udGVudCBibG9iIG9mIGEgdHlwaWNhbCBpdGVt",)"
      R"("crypto_params":{"envelope_version":1},"wrapped_item_key":"d3JhcHBlZCBpdGVtIGtleQ",)"
      R"("ai_access":"injectable","expected_revision":7})";
  for (auto _ : state) benchmark::DoNotOptimize(curl.fetch(url, "PUT", &body).size());
}

void BM_PutItemClient(benchmark::State& state) {
  VarnAPIClient client = makeClient();
  const UUID id = *UUID::parse(kItemId);
  const ItemWriteBody body = writeBody();
  for (auto _ : state) benchmark::DoNotOptimize(client.putItem(id, body, 7).revision);
}

// --- 1,000 sequential small calls ----------------------------------------------------------------

void BM_ThousandSmallCallsFloorCurl(benchmark::State& state) {
  DirectCurl curl;
  const std::string url = server().url(std::string("/items/") + kItemId);
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) benchmark::DoNotOptimize(curl.fetch(url).size());
  }
}

void BM_ThousandSmallCallsClient(benchmark::State& state) {
  VarnAPIClient client = makeClient();
  const UUID id = *UUID::parse(kItemId);
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) benchmark::DoNotOptimize(client.getItem(id).revision);
  }
}

// Under a loaded machine the fastest repetition is the fairest figure: run with
// --benchmark_repetitions=N --benchmark_enable_random_interleaving=true and read the "min" rows.
double fastest(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

BENCHMARK(BM_SyncFloorCurl)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_SyncClient)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_SyncParseFloorNlohmann)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_SyncDecodeRecords)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_PutItemFloorCurl)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_PutItemClient)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_ThousandSmallCallsFloorCurl)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_ThousandSmallCallsClient)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);

}  // namespace

BENCHMARK_MAIN();
