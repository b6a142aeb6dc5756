#include "crypto/otp/PublicSuffixList.hpp"

#include <libpsl.h>

#include "support/Utf8.hpp"

namespace varn::crypto {
namespace {

// Loaded once and never freed: lookups may run on any thread until the process ends.
const psl_ctx_t* list() {
  static const psl_ctx_t* const loaded = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  return loaded;
}

// Lower-case UTF-8 as libpsl's lookups require it; nullopt for text that is not a host.
std::optional<std::string> lowerHost(std::string_view host) {
  if (host.empty() || host.find('\0') != std::string_view::npos || !support::isValidUtf8(host)) {
    return std::nullopt;
  }
  const std::string text(host);
  char* lower = nullptr;
  if (psl_str_to_utf8lower(text.c_str(), "utf-8", nullptr, &lower) != PSL_SUCCESS ||
      lower == nullptr) {
    return std::nullopt;
  }
  std::string out(lower);
  psl_free_string(lower);
  return out;
}

}  // namespace

std::optional<std::string> PublicSuffixList::registrableDomain(std::string_view host) {
  const psl_ctx_t* suffixes = list();
  std::optional<std::string> lower = lowerHost(host);
  if (suffixes == nullptr || !lower) return std::nullopt;
  const char* domain = psl_registrable_domain(suffixes, lower->c_str());
  if (domain == nullptr || *domain == '\0') return std::nullopt;
  return std::string(domain);
}

bool PublicSuffixList::sameRegistrableDomain(std::string_view hostA, std::string_view hostB) {
  std::optional<std::string> first = registrableDomain(hostA);
  if (!first) return false;
  std::optional<std::string> second = registrableDomain(hostB);
  return second && *first == *second;
}

}  // namespace varn::crypto
