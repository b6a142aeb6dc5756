#include "mcp/server/LineReader.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varn::mcp {
namespace {

constexpr std::size_t kReadBlockBytes = 64 * 1024;
// The buffer's size until a long line or a pause needs more.
constexpr std::size_t kSmallBufferBytes = 4 * kReadBlockBytes;

}  // namespace

LineReader::LineReader(int fd, std::size_t maxLineBytes, std::size_t aheadBytes)
    : fd_(fd),
      maxLineBytes_(maxLineBytes),
      aheadBytes_(aheadBytes),
      slack_(std::max(aheadBytes / 4, kReadBlockBytes)) {}

void LineReader::run(Consumer& consumer, BackPressure& pressure) {
  for (;;) {
    if (handOver(consumer)) {
      pause(consumer, pressure);
      continue;
    }
    consumer.blockEnd();
    if (ended_) return;
    if (readMore() == 0) end(consumer);
  }
}

bool LineReader::handOver(Consumer& consumer) {
  while (begin_ < end_) {
    if (!taken_.empty() && taken_.front().start == begin_) {
      begin_ = taken_.front().end + 1;
      taken_.pop_front();
      continue;
    }
    const std::size_t from = std::max(searched_, begin_);
    const auto* feed = static_cast<const char*>(std::memchr(buf_.get() + from, '\n', end_ - from));
    if (feed == nullptr) {
      searched_ = end_;
      if (discarding_ || end_ - begin_ > maxLineBytes_) {
        // Over the limit: its bytes go now, the rest of it as it comes.
        discarding_ = true;
        begin_ = end_;
      }
      return false;
    }
    const std::size_t start = begin_;
    const auto stop = static_cast<std::size_t>(feed - buf_.get());
    begin_ = stop + 1;
    searched_ = begin_;
    if (discarding_) {
      discarding_ = false;
      continue;
    }
    if (stop - start > maxLineBytes_) continue;
    if (consumer.line(std::string_view(buf_.get() + start, stop - start))) return true;
  }
  return false;
}

void LineReader::pause(Consumer& consumer, BackPressure& pressure) {
  for (;;) {
    offerAhead(consumer);
    if (!pressure.stillFull()) return;
    if (ended_) {
      pressure.waitForRoom();
      return;
    }
    const bool full = end_ - begin_ >= aheadBytes_;
    // Past the budget only the end of input is watched for (a closed pipe or socket).
    const auto events = static_cast<short>(full ? POLLRDHUP : POLLIN | POLLRDHUP);
    pollfd watched[2] = {{fd_, events, 0}, {pressure.roomFd(), POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      pressure.waitForRoom();
      return;
    }
    if (watched[0].revents == 0) continue;  // room, perhaps: stillFull() tells
    if (full) {
      // The writer is gone: what is left is no more than the pipe or socket held, and an answer
      // in it must be seen before the end is told.
      while (readMore() > 0) {
      }
    } else if (readMore() > 0) {
      continue;
    }
    offerAhead(consumer);
    end(consumer);
  }
}

void LineReader::offerAhead(Consumer& consumer) {
  std::size_t from = std::max(offered_, begin_);
  for (;;) {
    const auto* feed = static_cast<const char*>(std::memchr(buf_.get() + from, '\n', end_ - from));
    if (feed == nullptr) break;
    const auto stop = static_cast<std::size_t>(feed - buf_.get());
    // The rest of a line over the limit is no line of its own.
    const bool tail = discarding_ && from == begin_;
    if (!tail && stop - from <= maxLineBytes_ &&
        consumer.takeAhead(std::string_view(buf_.get() + from, stop - from))) {
      taken_.push_back(Taken{from, stop});
    }
    from = stop + 1;
  }
  offered_ = from;
}

std::size_t LineReader::readMore() {
  makeRoom();
  for (;;) {
    const ssize_t count =
        ::read(fd_, buf_.get() + end_, std::min(capacity_ - end_, kReadBlockBytes));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return 0;
    end_ += static_cast<std::size_t>(count);
    return static_cast<std::size_t>(count);
  }
}

void LineReader::makeRoom() {
  if (begin_ == end_) {
    begin_ = end_ = searched_ = offered_ = 0;
    taken_.clear();
  }
  if (capacity_ - end_ >= kReadBlockBytes) return;
  const std::size_t pending = end_ - begin_;
  const auto moveDown = [&](char* to) {
    std::memmove(to, buf_.get() + begin_, pending);
    searched_ = std::max(searched_, begin_) - begin_;
    offered_ = std::max(offered_, begin_) - begin_;
    for (Taken& line : taken_) {
      line.start -= begin_;
      line.end -= begin_;
    }
    end_ = pending;
    begin_ = 0;
  };
  // Moving the bytes down costs what is left; it waits until at least as much, or a quarter of
  // the budget, was handed over since the last move.
  if (begin_ > 0 && (begin_ >= slack_ || begin_ >= pending)) moveDown(buf_.get());
  if (capacity_ - end_ >= kReadBlockBytes) return;
  // Grown once to its full size (left untouched, so unused pages cost nothing); beyond that only
  // when the end of input is drained behind a full read-ahead.
  const std::size_t full = std::max(maxLineBytes_, aheadBytes_) + slack_ + kReadBlockBytes;
  std::size_t size = capacity_ == 0 ? std::min(kSmallBufferBytes, full) : full;
  if (size <= capacity_) size = 2 * capacity_;
  size = std::max(size, pending + kReadBlockBytes);
  std::unique_ptr<char[]> grown = std::make_unique_for_overwrite<char[]>(size);
  if (pending > 0) moveDown(grown.get());
  buf_ = std::move(grown);
  capacity_ = size;
}

void LineReader::end(Consumer& consumer) {
  ended_ = true;
  consumer.ended();
}

}  // namespace varn::mcp
