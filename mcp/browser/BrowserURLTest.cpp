#include "mcp/browser/BrowserURL.hpp"

#include <gtest/gtest.h>

#include "support/Json.hpp"

namespace varn::mcp {
namespace {

using support::Json;

TEST(BrowserURLTest, OnlyHttpHttpsAndAboutBlankPass) {
  for (const char* url :
       {"http://a/", "https://a/", "HTTPS://A/", "\x01\x1f https://a/", "ht\ttp\ns://a/",
        "about:blank", " ABOUT:BLANK\n", "http:relative", "https://a/javascript:x"}) {
    EXPECT_TRUE(BrowserURL::isNavigable(url)) << url;
  }
  for (const char* url :
       {"javascript:alert(1)", " javascript:alert(1)", "\x01javascript:1", "java\tscript:1",
        "JaVaScRiPt:1", "data:text/html,x", "file:///etc/passwd", "chrome://settings",
        "about:srcdoc", "about:blank#x", "about:blankx", "vbscript:x", "example.com", "", "://a",
        "1http://a/", "http//a", "\xc2\xa0https://a/", "https\x0b://a/"}) {
    EXPECT_FALSE(BrowserURL::isNavigable(url)) << support::dumpCompact(Json(url));
  }
  // web_login's start address: the same reading, without about:blank.
  EXPECT_TRUE(BrowserURL::isHttp("\x01 HtTpS://a/"));
  EXPECT_FALSE(BrowserURL::isHttp("about:blank"));
  EXPECT_FALSE(BrowserURL::isHttp("java\tscript:1"));
}

}  // namespace
}  // namespace varn::mcp
