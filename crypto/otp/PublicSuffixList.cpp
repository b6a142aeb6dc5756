#include "crypto/otp/PublicSuffixList.hpp"

#include <libpsl.h>

#include <fstream>

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

// Every rule of the list file as a zone (see zonesBelow), read once and kept.
const std::vector<std::string>& zones() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> out;
    // The rules in text beside the list libpsl loads, which may be compiled (".dafsa").
    std::string path = psl_dist_filename() != nullptr ? psl_dist_filename() : "";
    if (path.ends_with(".dafsa")) path.replace(path.size() - 5, 5, "dat");
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
      std::string rule = line.substr(0, line.find_first_of(" \t\r"));
      if (rule.empty() || rule.starts_with("//")) continue;
      if (rule.starts_with("!")) {
        rule.erase(0, 1);
      } else if (rule.starts_with("*.")) {
        rule.erase(0, 1);
      }
      for (char& c : rule) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      out.push_back(std::move(rule));
    }
    return out;
  }();
  return all;
}

}  // namespace

std::vector<std::string> PublicSuffixList::zonesBelow(std::string_view domain) {
  std::vector<std::string> below;
  if (domain.empty()) return below;
  const std::string under = "." + std::string(domain);
  for (const std::string& zone : zones()) {
    const std::string_view base = zone.starts_with('.') ? std::string_view(zone).substr(1) : zone;
    if (zone == under || (base.size() > under.size() && base.ends_with(under))) {
      below.push_back(zone);
    }
  }
  return below;
}

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
