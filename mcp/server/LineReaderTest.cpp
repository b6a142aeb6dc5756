#include "mcp/server/LineReader.hpp"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/UniqueFd.hpp"

namespace varn::mcp {
namespace {

using support::UniqueFd;

// A pipe holding `bytes` (up to 1 MiB), its writing end closed: the reader sees them, then the
// end of input.
UniqueFd inputOf(const std::string& bytes) {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  EXPECT_GE(::fcntl(writeEnd.get(), F_SETPIPE_SZ, 1 << 20), 1 << 20);
  EXPECT_EQ(::write(writeEnd.get(), bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  return readEnd;
}

// Pauses after every line whose text starts with "pause"; takes the lines read ahead that start
// with "answer"; records the offers and the lines handed over apart.
class Recorder final : public LineReader::Consumer {
 public:
  bool line(std::string_view line) override {
    lines.emplace_back(line);
    return line.starts_with("pause");
  }
  void blockEnd() override {}
  bool takeAhead(std::string_view line) override {
    offers.emplace_back(line);
    return line.starts_with("answer");
  }
  void ended() override { lines.emplace_back("ended"); }
  std::vector<std::string> offers;
  std::vector<std::string> lines;
};

// Never full, or (`untilEnded`) full until the input has ended.
class Pressure final : public LineReader::BackPressure {
 public:
  explicit Pressure(bool untilEnded) : untilEnded_(untilEnded) {}
  bool stillFull() override { return untilEnded_; }
  [[nodiscard]] int roomFd() const noexcept override { return room_.get(); }
  void waitForRoom() override {}

 private:
  bool untilEnded_;
  UniqueFd room_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

// Read in one block and never held back, or read in many blocks and held back by a budget of a
// kilobyte until the input ends: then the rest of the input, more than the buffer was made for, is
// read and offered before the end is told and the lines are handed over. The end of input behind
// a full read-ahead of the server's own budget is checked end to end (tests/EdgesTest.cpp).
TEST(LineReaderTest, EachLineReadAheadIsOfferedOnceAndTheRestHandedOverInOrder) {
  for (const bool heldBack : {false, true}) {
    SCOPED_TRACE(heldBack ? "held back" : "never held back");
    std::string input;
    std::vector<std::string> offers;
    std::vector<std::string> lines;
    const int count = heldBack ? 60'000 : 200;
    for (int i = 0; i < count; ++i) {
      const std::string text = (i % 10 == 9 ? "answer " : "pause ") + std::to_string(i);
      input += text + "\n";
      if (i > 0) offers.push_back(text);
      if (i % 10 != 9) lines.push_back(text);
    }
    lines.insert(heldBack ? lines.begin() + 1 : lines.end(), "ended");
    UniqueFd fd = inputOf(input + "partial");
    Recorder recorder;
    Pressure pressure(heldBack);
    LineReader(fd.get(), 1024, heldBack ? 1024 : 1 << 20).run(recorder, pressure);
    EXPECT_EQ(recorder.offers, offers);
    EXPECT_EQ(recorder.lines, lines);
  }
}

}  // namespace
}  // namespace varn::mcp
