#include "mcp/secrets/KillSwitch.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

using Environment = std::map<std::string, std::string>;

struct SwitchCase {
  const char* value;
  bool active;
};

void PrintTo(const SwitchCase& c, std::ostream* out) {
  *out << "'" << c.value << "'";
}

class KillSwitchValueTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(KillSwitchValueTest, ActiveExactlyForOneTrueOrYesInAnyCase) {
  KillSwitch killSwitch(Environment{{"VARN_MCP_KILL_SWITCH", GetParam().value}});
  EXPECT_EQ(killSwitch.isActive(), GetParam().active) << "value: '" << GetParam().value << "'";
}

INSTANTIATE_TEST_SUITE_P(Values, KillSwitchValueTest,
                         testing::Values(SwitchCase{"1", true}, SwitchCase{"true", true},
                                         SwitchCase{"TRUE", true}, SwitchCase{"Yes", true},
                                         SwitchCase{"yes", true}, SwitchCase{"0", false},
                                         SwitchCase{"false", false}, SwitchCase{"on", false},
                                         SwitchCase{" true", false}, SwitchCase{"true ", false},
                                         SwitchCase{"", false}, SwitchCase{"11", false},
                                         SwitchCase{"y", false}));

TEST(KillSwitch, AbsentVariableLeavesAccessOn) {
  KillSwitch killSwitch(
      Environment{{"VARN_MCP_KILL_SWITCH_X", "1"}, {"varn_mcp_kill_switch", "1"}});
  EXPECT_FALSE(killSwitch.isActive());
  EXPECT_NO_THROW(killSwitch.ensureEnabled());
}

TEST(KillSwitch, EnsureEnabledThrowsWhenActive) {
  KillSwitch killSwitch(Environment{{"VARN_MCP_KILL_SWITCH", "1"}});
  EXPECT_THROW(killSwitch.ensureEnabled(), KillSwitchError);
}

}  // namespace
}  // namespace varn::mcp
