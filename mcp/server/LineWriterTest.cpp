#include "mcp/server/LineWriter.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace varn::mcp {
namespace {

// Both ends of a pipe, closed on destruction.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (fds[0] >= 0) ::close(fds[0]);
    fds[0] = -1;
  }
  void closeWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  std::string readAll() {
    std::string out;
    char block[65536];
    for (;;) {
      ssize_t n = ::read(fds[0], block, sizeof block);
      if (n <= 0) return out;
      out.append(block, static_cast<std::size_t>(n));
    }
  }
  int fds[2] = {-1, -1};
};

TEST(LineWriterTest, LinesFromManyThreadsArriveWhole) {
  constexpr int kThreads = 8;
  constexpr int kLines = 50;
  constexpr std::size_t kLength = 20000;  // well above the pipe's atomic write size
  Pipe pipe;
  std::string received;
  std::thread reader([&] { received = pipe.readAll(); });
  {
    LineWriter writer(pipe.fds[1]);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&writer, t] {
        const std::string line(kLength, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) EXPECT_TRUE(writer.write(line));
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  pipe.closeWrite();
  reader.join();

  std::map<char, int> linesPerThread;
  std::size_t start = 0;
  while (start < received.size()) {
    const std::size_t end = received.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = received.substr(start, end - start);
    ASSERT_EQ(line, std::string(kLength, line[0]));
    ++linesPerThread[line[0]];
    start = end + 1;
  }
  ASSERT_EQ(linesPerThread.size(), static_cast<std::size_t>(kThreads));
  for (const auto& [letter, count] : linesPerThread) EXPECT_EQ(count, kLines) << letter;
}

TEST(LineWriterTest, EmptyLineIsALoneLineFeed) {
  Pipe pipe;
  LineWriter writer(pipe.fds[1]);
  EXPECT_TRUE(writer.write(""));
  EXPECT_TRUE(writer.write("{}"));
  pipe.closeWrite();
  EXPECT_EQ(pipe.readAll(), "\n{}\n");
}

TEST(LineWriterTest, ATwoPartLineIsOneLine) {
  Pipe pipe;
  LineWriter writer(pipe.fds[1]);
  EXPECT_TRUE(writer.write(R"({"id":1,"result":)", R"({"tools":[]}})"));
  EXPECT_TRUE(writer.write("", ""));
  pipe.closeWrite();
  EXPECT_EQ(pipe.readAll(), "{\"id\":1,\"result\":{\"tools\":[]}}\n\n");
}

TEST(LineWriterTest, AClosedOutputLosesTheLineWithoutEndingTheProcess) {
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  Pipe pipe;
  pipe.closeRead();
  LineWriter writer(pipe.fds[1]);
  EXPECT_FALSE(writer.write("{\"jsonrpc\":\"2.0\"}"));
  ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace varn::mcp
