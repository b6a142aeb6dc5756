#include "support/UniqueFd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace varn::support {
namespace {

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) >= 0;
}

TEST(UniqueFdTest, ClosesWhatItOwnsOnceAndHandsItOverOnRelease) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  {
    UniqueFd read(ends[0]);
    UniqueFd moved(std::move(read));
    EXPECT_FALSE(read);
    EXPECT_EQ(moved.get(), ends[0]);
    UniqueFd write(ends[1]);
    // Released: the caller closes it.
    EXPECT_EQ(write.release(), ends[1]);
    EXPECT_EQ(write.get(), -1);
  }
  EXPECT_FALSE(isOpen(ends[0]));
  EXPECT_TRUE(isOpen(ends[1]));

  UniqueFd owner(ends[1]);
  owner = UniqueFd(::dup(ends[1]));  // the first is closed as the second is taken
  EXPECT_FALSE(isOpen(ends[1]));
  const int second = owner.get();
  owner.reset();
  EXPECT_FALSE(isOpen(second));
}

}  // namespace
}  // namespace varn::support
