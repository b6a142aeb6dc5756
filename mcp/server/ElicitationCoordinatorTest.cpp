#include "mcp/server/ElicitationCoordinator.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>

namespace varn::mcp {
namespace {

using namespace std::chrono_literals;

// A wait that must end by an answer: the bound is only reached when the behaviour is broken.
constexpr auto kLong = 30s;
// A wait that must end by its timeout.
constexpr auto kShort = 20ms;

const ElicitationResult kAccept{"accept"};
const ElicitationResult kDecline{"decline"};
const ElicitationResult kTimeout{"timeout"};

// Starts a wait for `id` on another thread and returns once the coordinator has registered it.
std::future<ElicitationResult> waitInBackground(ElicitationCoordinator& coordinator,
                                                const std::string& id) {
  auto result =
      std::async(std::launch::async, [&coordinator, id] { return coordinator.wait(id, kLong); });
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (!coordinator.isWaiting(id) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  return result;
}

TEST(ElicitationCoordinatorTest, AnAnswerBeforeTheWaitIsReturnedAtOnce) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-1");
  coordinator.fulfill("elicit-1", kAccept);
  EXPECT_EQ(coordinator.wait("elicit-1", kLong), kAccept);
}

TEST(ElicitationCoordinatorTest, TheFirstOfSeveralEarlyAnswersDecides) {
  const std::pair<ElicitationResult, ElicitationResult> orders[] = {{kDecline, kAccept},
                                                                    {kAccept, kDecline}};
  for (const auto& [first, second] : orders) {
    ElicitationCoordinator coordinator;
    coordinator.open("elicit-1");
    coordinator.fulfill("elicit-1", first);
    coordinator.fulfill("elicit-1", second);
    EXPECT_EQ(coordinator.wait("elicit-1", kLong), first)
        << first.action << " then " << second.action;
  }
}

TEST(ElicitationCoordinatorTest, AnAnswerDuringTheWaitIsReturned) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-1");
  auto result = waitInBackground(coordinator, "elicit-1");
  ASSERT_TRUE(coordinator.isWaiting("elicit-1"));
  coordinator.fulfill("elicit-1", kDecline);
  EXPECT_EQ(result.get(), kDecline);
  EXPECT_FALSE(coordinator.isWaiting("elicit-1"));
}

TEST(ElicitationCoordinatorTest, ASecondAnswerWhileWaitingIsNotKeptOnceTheRequestIsDone) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-1");
  auto result = waitInBackground(coordinator, "elicit-1");
  coordinator.fulfill("elicit-1", kDecline);
  coordinator.fulfill("elicit-1", kAccept);
  EXPECT_EQ(result.get(), kDecline);
  // Nothing was parked for the finished request: a new wait on its id finds no answer.
  EXPECT_EQ(coordinator.wait("elicit-1", kShort), kTimeout);
}

TEST(ElicitationCoordinatorTest, NoAnswerWithinTheTimeoutEndsWithTimeout) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-1");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(coordinator.wait("elicit-1", kShort), kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, kShort);
  EXPECT_FALSE(coordinator.isWaiting("elicit-1"));
}

TEST(ElicitationCoordinatorTest, LateAnswersAreDropped) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-1");
  ASSERT_EQ(coordinator.wait("elicit-1", kShort), kTimeout);
  coordinator.fulfill("elicit-1", kAccept);  // the first late answer
  coordinator.fulfill("elicit-1", kAccept);  // and any further one
  EXPECT_EQ(coordinator.wait("elicit-1", kShort), kTimeout);
}

TEST(ElicitationCoordinatorTest, AnswersToIdsThisServerNeverIssuedAreDropped) {
  ElicitationCoordinator coordinator;
  coordinator.fulfill("elicit-unknown", kAccept);
  coordinator.open("elicit-unknown");
  EXPECT_EQ(coordinator.wait("elicit-unknown", kShort), kTimeout);
}

TEST(ElicitationCoordinatorTest, TheTimeoutActionFromTheClientPassesThrough) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-1");
  coordinator.fulfill("elicit-1", kTimeout);
  EXPECT_EQ(coordinator.wait("elicit-1", kLong), kTimeout);
}

TEST(ElicitationCoordinatorTest, ConcurrentWaitsAreMatchedByTheirIds) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-a");
  coordinator.open("elicit-b");
  auto a = waitInBackground(coordinator, "elicit-a");
  auto b = waitInBackground(coordinator, "elicit-b");
  coordinator.fulfill("elicit-b", ElicitationResult{"cancel"});
  coordinator.fulfill("elicit-a", kAccept);
  EXPECT_EQ(a.get(), kAccept);
  EXPECT_EQ(b.get(), ElicitationResult{"cancel"});
}

TEST(ElicitationCoordinatorTest, EndOfInputCancelsEveryWaitNowAndLater) {
  ElicitationCoordinator coordinator;
  coordinator.open("elicit-a");
  coordinator.open("elicit-b");
  coordinator.open("elicit-early");
  coordinator.fulfill("elicit-early", kAccept);
  auto a = waitInBackground(coordinator, "elicit-a");
  auto b = waitInBackground(coordinator, "elicit-b");
  coordinator.close();
  EXPECT_EQ(a.get(), ElicitationResult{"cancel"});
  EXPECT_EQ(b.get(), ElicitationResult{"cancel"});
  // An answer that came before the end still counts; a wait begun after it ends at once.
  EXPECT_EQ(coordinator.wait("elicit-early", kLong), kAccept);
  coordinator.open("elicit-c");
  EXPECT_EQ(coordinator.wait("elicit-c", kLong), ElicitationResult{"cancel"});
}

TEST(ElicitationCoordinatorTest, TheRecordOfTimedOutRequestsKeepsOnlyTheNewest) {
  constexpr std::size_t kMax = ElicitationCoordinator::kMaxExpired;
  ElicitationCoordinator coordinator;
  for (std::size_t i = 0; i < kMax + 100; ++i) {
    const std::string id = "elicit-" + std::to_string(i);
    coordinator.open(id);
    ASSERT_EQ(coordinator.wait(id, 0s), kTimeout);
  }
  EXPECT_EQ(coordinator.expiredCount(), kMax);
  // A late answer to a recorded id leaves the record; one to a forgotten id is dropped as well.
  coordinator.fulfill("elicit-" + std::to_string(kMax + 99), kAccept);
  coordinator.fulfill("elicit-0", kAccept);
  EXPECT_EQ(coordinator.expiredCount(), kMax - 1);
  coordinator.open("elicit-next");
  ASSERT_EQ(coordinator.wait("elicit-next", 0s), kTimeout);
  EXPECT_EQ(coordinator.expiredCount(), kMax);
}

}  // namespace
}  // namespace varn::mcp
