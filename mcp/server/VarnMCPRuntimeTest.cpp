#include "mcp/server/VarnMCPRuntime.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

TEST(VarnMCPRuntimeTest, BrowserIdleWindowIsAStrictDecimalOr300Seconds) {
  const std::vector<std::pair<std::optional<std::string>, std::int64_t>> cases = {
      {std::nullopt, 300},
      {"", 300},
      {"abc", 300},
      {" 60", 300},
      {"60 ", 300},
      {"1.5", 300},
      {"99999999999999999999", 300},
      {"+60", 60},
      {"0", 0},
      {"-5", -5},
      {"9223372036854775807", INT64_MAX},
  };
  for (const auto& [text, seconds] : cases) {
    std::map<std::string, std::string> environment{{"OTHER", "1"}};
    if (text) environment["VARN_BROWSER_IDLE_SECONDS"] = *text;
    EXPECT_EQ(VarnMCPRuntime::browserIdleWindow(environment).count(), seconds)
        << text.value_or("(absent)");
  }
}

}  // namespace
}  // namespace varn::mcp
