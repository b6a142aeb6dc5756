#include "support/Uuid.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace varn::support {
namespace {

TEST(RandomUUIDTest, CanonicalUpperCaseVersion4AndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string id = randomUUID();
    ASSERT_EQ(id.size(), 36u);
    for (std::size_t j = 0; j < id.size(); ++j) {
      if (j == 8 || j == 13 || j == 18 || j == 23) {
        EXPECT_EQ(id[j], '-');
      } else {
        EXPECT_TRUE((id[j] >= '0' && id[j] <= '9') || (id[j] >= 'A' && id[j] <= 'F')) << id;
      }
    }
    EXPECT_EQ(id[14], '4');
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace varn::support
