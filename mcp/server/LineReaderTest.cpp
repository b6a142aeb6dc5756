#include "mcp/server/LineReader.hpp"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/UniqueFd.hpp"

namespace varn::mcp {
namespace {

using support::UniqueFd;

// A pipe holding `bytes`, its writing end closed: the reader sees them, then the end of input.
UniqueFd inputOf(const std::string& bytes) {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  EXPECT_EQ(::write(writeEnd.get(), bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  return readEnd;
}

// Pauses after every line whose text starts with "pause"; takes the lines read ahead that start
// with "answer"; records everything in `events`.
class Recorder final : public LineReader::Consumer {
 public:
  bool line(std::string_view line) override {
    events.push_back("line " + std::string(line));
    return line.starts_with("pause");
  }
  void blockEnd() override {}
  bool takeAhead(std::string_view line) override {
    events.push_back("offer " + std::string(line));
    return line.starts_with("answer");
  }
  void ended() override {
    events.push_back("ended");
    over = true;
  }
  std::vector<std::string> events;
  bool over = false;
};

// Full until input has ended, or always roomy.
class Pressure final : public LineReader::BackPressure {
 public:
  Pressure(const Recorder& recorder, bool fullUntilEnd)
      : recorder_(recorder), fullUntilEnd_(fullUntilEnd) {}
  bool stillFull() override { return fullUntilEnd_ && !recorder_.over; }
  [[nodiscard]] int roomFd() const noexcept override { return room_.get(); }
  void waitForRoom() override { waitedBeforeTheEnd = waitedBeforeTheEnd || !recorder_.over; }
  bool waitedBeforeTheEnd = false;

 private:
  const Recorder& recorder_;
  const bool fullUntilEnd_;
  UniqueFd room_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

TEST(LineReaderTest, EachLineReadAheadIsOfferedOnceAndTheRestHandedOverInOrder) {
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    const std::string text = (i % 10 == 9 ? "answer " : "pause ") + std::to_string(i);
    input += text + "\n";
    if (i > 0) expected.push_back("offer " + text);
    if (i % 10 != 9) expected.push_back("line " + text);
  }
  UniqueFd fd = inputOf(input + "partial");
  Recorder recorder;
  Pressure roomy(recorder, false);
  LineReader(fd.get(), 1024, 1 << 20).run(recorder, roomy);
  expected.push_back("ended");
  // Offers come as lines are read ahead, lines in their order; each exactly once.
  std::vector<std::string> offers;
  std::vector<std::string> lines;
  for (const std::string& event : recorder.events) {
    (event.starts_with("offer") ? offers : lines).push_back(event);
  }
  std::vector<std::string> expectedOffers;
  std::vector<std::string> expectedLines;
  for (const std::string& event : expected) {
    (event.starts_with("offer") ? expectedOffers : expectedLines).push_back(event);
  }
  EXPECT_EQ(offers, expectedOffers);
  EXPECT_EQ(lines, expectedLines);
}

TEST(LineReaderTest, TheEndBehindAFullReadAheadIsSeenAfterItsAnswerWasOffered) {
  std::string input = "pause\n";
  for (int i = 0; i < 64; ++i) input += std::string(63, 'x') + "\n";
  input += "answer " + std::string(40 * 1024, 'a') + "\n";  // within what the pipe holds
  UniqueFd fd = inputOf(input);
  Recorder recorder;
  Pressure full(recorder, true);
  LineReader(fd.get(), 128 * 1024, 1024).run(recorder, full);
  EXPECT_FALSE(full.waitedBeforeTheEnd);
  ASSERT_GE(recorder.events.size(), 2u);
  EXPECT_EQ(recorder.events.end()[-1].substr(0, 6), "line x");
  const auto ended = std::find(recorder.events.begin(), recorder.events.end(), "ended");
  ASSERT_NE(ended, recorder.events.end());
  EXPECT_EQ(ended[-1].substr(0, 12), "offer answer");
  EXPECT_EQ(std::count_if(recorder.events.begin(), recorder.events.end(),
                          [](const std::string& e) { return e.starts_with("line answer"); }),
            0);
}

}  // namespace
}  // namespace varn::mcp
