#include "support/Paths.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

namespace varn::support {
namespace {

// Sets HOME for the test's lifetime and restores it afterwards.
class ScopedHome {
 public:
  explicit ScopedHome(const char* value) {
    if (const char* old = getenv("HOME")) saved_ = old;
    if (value) {
      setenv("HOME", value, 1);
    } else {
      unsetenv("HOME");
    }
  }
  ~ScopedHome() {
    if (saved_) {
      setenv("HOME", saved_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

std::string rootHome() {
  passwd* entry = getpwnam("root");
  return entry ? entry->pw_dir : "";
}

TEST(ExpandTildeTest, Table) {
  ScopedHome home("/h/me");
  EXPECT_EQ(expandTilde("~"), "/h/me");
  EXPECT_EQ(expandTilde("~/a/b.sock"), "/h/me/a/b.sock");
  EXPECT_EQ(expandTilde("/abs/~/x"), "/abs/~/x");
  EXPECT_EQ(expandTilde("rel/x"), "rel/x");
  EXPECT_EQ(expandTilde(""), "");
  EXPECT_EQ(expandTilde("~no-such-user-here/x"), "~no-such-user-here/x");
  ASSERT_FALSE(rootHome().empty());
  EXPECT_EQ(expandTilde("~root/x"), rootHome() + "/x");
}

TEST(ExpandTildeTest, HomeWithTrailingSlashGivesNoDoubleSlash) {
  ScopedHome home("/h/me/");
  EXPECT_EQ(expandTilde("~/x"), "/h/me/x");
}

TEST(HomeFolderTest, FallsBackToThePasswordDatabase) {
  ScopedHome home(nullptr);
  passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(homeFolder(), entry->pw_dir);
}

TEST(PathExistsTest, SeesFilesAndFolders) {
  char pattern[] = "/tmp/vpXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  std::string file = dir + "/f";
  EXPECT_TRUE(pathExists(dir));
  EXPECT_FALSE(pathExists(file));
  std::ofstream(file) << "x";
  EXPECT_TRUE(pathExists(file));
  std::string link = dir + "/dangling";
  ASSERT_EQ(symlink("/nonexistent/target", link.c_str()), 0);
  EXPECT_FALSE(pathExists(link));
  unlink(link.c_str());
  unlink(file.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace varn::support
