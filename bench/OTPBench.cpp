// One-time codes and registrable domains per second, beside two references measured in the same
// run: the floor, one direct OpenSSL HMAC-SHA1 of 8 bytes (what a code costs at the least), and
// oathtool --totp started as a process (what the command-line tool costs). Goal: TOTP::code on a
// bare seed within 3x of the floor.
//
//   otp_bench [--benchmark_filter=...]
//
// Every benchmark reports items_per_second: codes, or hosts reduced.

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/otp/RegistrableDomain.hpp"
#include "crypto/otp/TOTP.hpp"
#include "support/ChildProcess.hpp"

namespace {

using varn::crypto::RegistrableDomain;
using varn::crypto::TOTP;

// The seed of RFC 6238 Appendix B for SHA-1, as bytes and as Base32.
constexpr char kSeedBytes[] = "12345678901234567890";
constexpr const char* kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
constexpr const char* kURI =
    "otpauth://totp/ACME%20Co:alice@example.com?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
    "&issuer=ACME%20Co&algorithm=SHA1&digits=6&period=30";
constexpr const char* kOathtool = "/usr/bin/oathtool";

// A time that moves on by one period per call, so no two codes in a row share a counter.
TOTP::Date nextDate(std::int64_t i) {
  return TOTP::Date(std::chrono::duration<double>(1700000000.0 + 30.0 * static_cast<double>(i)));
}

void HMACSHA1Floor(benchmark::State& state) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
  std::uint64_t counter = 1700000000 / 30;
  for (auto _ : state) {
    std::array<unsigned char, 8> message{};
    for (int i = 7, shift = 0; i >= 0; --i, shift += 8) {
      message[static_cast<std::size_t>(i)] = static_cast<unsigned char>(counter >> shift);
    }
    unsigned int length = 0;
    benchmark::DoNotOptimize(
        HMAC(EVP_sha1(), kSeedBytes, 20, message.data(), message.size(), mac.data(), &length));
    benchmark::DoNotOptimize(mac);
    ++counter;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(HMACSHA1Floor);

void TOTPCodeBareSeed(benchmark::State& state) {
  std::int64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(TOTP::code(kSeed, nextDate(i++)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TOTPCodeBareSeed);

void TOTPCodeOTPAuthURI(benchmark::State& state) {
  std::int64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(TOTP::code(kURI, nextDate(i++)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TOTPCodeOTPAuthURI);

void OathtoolProcess(benchmark::State& state) {
  if (access(kOathtool, X_OK) != 0) {
    state.SkipWithError("oathtool is missing: run scripts/setup");
    return;
  }
  std::int64_t i = 0;
  for (auto _ : state) {
    std::string when = "@";
    when += std::to_string(1700000000 + 30 * i++);
    const varn::support::ChildOutput out =
        varn::support::runChild({kOathtool,
                                 {"oathtool", "--totp", "-b", "-N", when, kSeed},
                                 {"PATH=/usr/bin:/bin", "LC_ALL=C"},
                                 std::nullopt},
                                256);
    if (out.status != 0) {
      state.SkipWithError("oathtool failed");
      return;
    }
    benchmark::DoNotOptimize(out.out);
  }
  state.SetItemsProcessed(state.iterations());
}
// Wall-clock time: the work happens in the child, not on this thread.
BENCHMARK(OathtoolProcess)->Unit(benchmark::kMicrosecond)->UseRealTime();

// URLs and bare hosts: table hits of two and three labels, misses, IP literals, localhost,
// empty labels and a non-ASCII host.
const std::vector<std::string> kHosts = {
    "https://www.example.com/login?next=%2F",
    "api.example.co.uk",
    "alice.github.io",
    "https://bucket.s3.amazonaws.com/key",
    "http://192.168.1.10:8080/",
    "localhost:3000",
    "deep.sub.domain.example.org",
    "  HTTPS://LOGIN.Example.COM:8443/a/b  ",
    "cdn.d1234.cloudfront.net",
    "http://[::1]/",
    ".shop.example.com.au.",
    "b\xc3\xbc"
    "cher.example.de",
};

void RegistrableMixedHosts(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RegistrableDomain::registrable(kHosts[i]));
    i = (i + 1) % kHosts.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RegistrableMixedHosts);

}  // namespace

BENCHMARK_MAIN();
