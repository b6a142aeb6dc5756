// The built-in suffix table against Debian's public suffix list: every entry is a rule of the
// list, and for hosts of three or more labels under an entry the registrable domain agrees with
// `psl --print-reg-domain`.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/otp/MultiLabelSuffixes.hpp"
#include "crypto/otp/RegistrableDomain.hpp"
#include "support/ChildProcess.hpp"

namespace varn::crypto {
namespace {

constexpr const char* kListPath = "/usr/share/publicsuffix/public_suffix_list.dat";
constexpr const char* kPsl = "/usr/bin/psl";

struct SuffixList {
  std::set<std::string> icann;     // rules of the ICANN section
  std::set<std::string> private_;  // rules of the private section
};

SuffixList readSuffixList() {
  SuffixList list;
  std::ifstream in(kListPath);
  std::set<std::string>* section = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line.find("===BEGIN ICANN DOMAINS===") != std::string::npos) section = &list.icann;
    if (line.find("===BEGIN PRIVATE DOMAINS===") != std::string::npos) section = &list.private_;
    if (line.empty() || line.starts_with("//") || section == nullptr) continue;
    // A rule is the line's first word.
    section->insert(line.substr(0, line.find_first_of(" \t\r")));
  }
  return list;
}

std::size_t labelCount(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '.')) + 1;
}

TEST(RegistrableDomainSuffixTest, TableShape) {
  std::set<std::string_view> distinct(kMultiLabelSuffixes.begin(), kMultiLabelSuffixes.end());
  EXPECT_EQ(distinct.size(), 92u);
  int threeLabels = 0;
  for (std::string_view entry : kMultiLabelSuffixes) {
    const std::size_t labels = labelCount(entry);
    EXPECT_TRUE(labels == 2 || labels == 3) << entry;
    if (labels == 3) ++threeLabels;
    EXPECT_FALSE(entry.empty() || entry.front() == '.' || entry.back() == '.' ||
                 entry.find("..") != std::string_view::npos)
        << entry;
    EXPECT_TRUE(std::none_of(entry.begin(), entry.end(), [](char c) {
      return !((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-');
    })) << entry;
  }
  EXPECT_EQ(threeLabels, 1);
}

TEST(RegistrableDomainSuffixTest, EveryEntryIsARuleOfThePublicSuffixList) {
  ASSERT_EQ(access(kListPath, R_OK), 0) << kListPath << " is missing: run scripts/setup";
  const SuffixList list = readSuffixList();
  ASSERT_GT(list.icann.size(), 1000u);
  ASSERT_GT(list.private_.size(), 1000u);
  std::set<std::string_view> countries;
  int countryEntries = 0;
  int hostingEntries = 0;
  for (std::string_view entry : kMultiLabelSuffixes) {
    const std::string rule(entry);
    if (list.icann.contains(rule)) {
      // A generic word under a country-code top-level domain.
      ++countryEntries;
      const std::string_view tld = entry.substr(entry.rfind('.') + 1);
      EXPECT_EQ(tld.size(), 2u) << entry;
      EXPECT_EQ(labelCount(entry), 2u) << entry;
      countries.insert(tld);
    } else if (list.private_.contains(rule)) {
      ++hostingEntries;
    } else {
      ADD_FAILURE() << entry << " is no rule of the public suffix list";
    }
  }
  EXPECT_EQ(countryEntries, 62);
  EXPECT_EQ(countries.size(), 28u);
  EXPECT_EQ(hostingEntries, 30);
}

TEST(RegistrableDomainSuffixTest, AgreesWithPslForHostsOfThreeOrMoreLabels) {
  ASSERT_EQ(access(kPsl, X_OK), 0) << kPsl << " is missing: run scripts/setup";
  std::vector<std::string> hosts;
  for (std::string_view entry : kMultiLabelSuffixes) {
    for (const char* prefix : {"example.", "www.example.", "a.b.c.example."}) {
      const std::string host = prefix + std::string(entry);
      if (labelCount(host) >= 3) hosts.push_back(host);
    }
  }
  // Hosts under no entry, for the last-two-labels rule.
  for (const char* host : {"www.example.com", "a.b.example.org", "x.y.z.example.de"}) {
    hosts.emplace_back(host);
  }

  std::vector<std::string> argv = {"psl", "--print-reg-domain"};
  argv.insert(argv.end(), hosts.begin(), hosts.end());
  const support::ChildOutput out =
      support::runChild({kPsl, argv, {"PATH=/usr/bin:/bin", "LC_ALL=C"}, std::nullopt}, 1 << 20);
  ASSERT_EQ(out.status, 0) << out.err;

  // Lines of "host: registrable domain".
  std::map<std::string, std::string> psl;
  std::istringstream lines(out.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) psl[line.substr(0, colon)] = line.substr(colon + 2);
  }
  ASSERT_EQ(psl.size(), hosts.size()) << out.out;
  for (const std::string& host : hosts) {
    EXPECT_EQ(RegistrableDomain::registrable(host).value_or("(null)"), psl[host]) << host;
  }
}

TEST(RegistrableDomainSuffixTest, DiffersFromTheFullListByDesign) {
  // The full list calls these public suffixes with no registrable domain; without the list, a
  // two-label host is its own registrable domain and a three-label host is never looked up whole.
  EXPECT_EQ(RegistrableDomain::registrable("co.uk"), "co.uk");
  EXPECT_EQ(RegistrableDomain::registrable("github.io"), "github.io");
  EXPECT_EQ(RegistrableDomain::registrable("s3.amazonaws.com"), "amazonaws.com");
}

}  // namespace
}  // namespace varn::crypto
