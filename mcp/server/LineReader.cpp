#include "mcp/server/LineReader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varn::mcp {
namespace {

constexpr std::size_t kReadBlockBytes = 64 * 1024;
// A line buffer grown beyond this by one long line is released afterwards.
constexpr std::size_t kRetainedLineCapacity = std::size_t{1} << 20;

}  // namespace

LineReader::LineReader(int fd, std::size_t maxLineBytes, std::size_t aheadBytes)
    : fd_(fd), maxLineBytes_(maxLineBytes), aheadBytes_(aheadBytes), block_(kReadBlockBytes) {}

void LineReader::run(Sink& sink) {
  for (;;) {
    if (!ahead_.empty()) {
      // What a pause read ahead comes first, as if it were read now.
      std::string bytes;
      bytes.swap(ahead_);
      split(sink, bytes);
      sink.blockEnd();
      continue;
    }
    if (ended_) return;
    const std::size_t count = readBlock();
    if (count == 0) {
      end(sink);
      return;
    }
    split(sink, std::string_view(block_.data(), count));
    sink.blockEnd();
  }
}

void LineReader::split(Sink& sink, std::string_view bytes) {
  const char* next = bytes.data();
  const char* const end = next + bytes.size();
  while (next < end) {
    const auto* feed =
        static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
    const char* const stop = feed != nullptr ? feed : end;
    const auto length = static_cast<std::size_t>(stop - next);
    if (!discarding_ && partial_.size() + length > maxLineBytes_) {
      discarding_ = true;
      std::string().swap(partial_);
    }
    if (feed == nullptr) {
      if (!discarding_) partial_.append(next, length);
      return;
    }
    bool pauseNow = false;
    if (!discarding_) {
      if (partial_.empty()) {
        pauseNow = sink.line(std::string_view(next, length));
      } else {
        partial_.append(next, length);
        pauseNow = sink.line(partial_);
        partial_.clear();
        if (partial_.capacity() > kRetainedLineCapacity) std::string().swap(partial_);
      }
    }
    discarding_ = false;
    next = feed + 1;
    if (pauseNow) {
      pause(sink, std::string_view(next, static_cast<std::size_t>(end - next)));
      return;
    }
  }
}

void LineReader::pause(Sink& sink, std::string_view rest) {
  ahead_.assign(rest);
  std::size_t scanned = 0;
  for (;;) {
    scanned = offerAhead(sink, scanned);
    if (!sink.stillFull()) return;
    if (ended_ || ahead_.size() >= aheadBytes_) {
      sink.waitForRoom();
      return;
    }
    pollfd watched[2] = {{fd_, POLLIN, 0}, {sink.roomFd(), POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      sink.waitForRoom();
      return;
    }
    if (watched[0].revents == 0) continue;  // room, perhaps: stillFull() tells
    const std::size_t count = readBlock();
    if (count == 0) {
      end(sink);
      continue;
    }
    ahead_.append(block_.data(), count);
  }
}

std::size_t LineReader::offerAhead(Sink& sink, std::size_t scanned) {
  for (;;) {
    const std::size_t feed = ahead_.find('\n', scanned);
    if (feed == std::string::npos) return scanned;
    const std::size_t length = feed - scanned;
    if (length <= kMaxAheadLineBytes &&
        sink.takeAhead(std::string_view(ahead_.data() + scanned, length))) {
      ahead_.erase(scanned, length + 1);
    } else {
      scanned = feed + 1;
    }
  }
}

std::size_t LineReader::readBlock() {
  for (;;) {
    const ssize_t count = ::read(fd_, block_.data(), block_.size());
    if (count < 0 && errno == EINTR) continue;
    return count > 0 ? static_cast<std::size_t>(count) : 0;
  }
}

void LineReader::end(Sink& sink) {
  ended_ = true;
  sink.ended();
}

}  // namespace varn::mcp
