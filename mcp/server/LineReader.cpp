#include "mcp/server/LineReader.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace varn::mcp {
namespace {

constexpr std::size_t kReadBlockBytes = 64 * 1024;
// The start of the buffer that lines of a few kilobytes keep using: its memory is never given
// back, and bytes move down to it once as many were handed over as are left.
constexpr std::size_t kKeptBytes = 4 * kReadBlockBytes;

std::size_t pageBytes() {
  static const auto bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes;
}

std::size_t roundUpToPage(std::size_t bytes) {
  const std::size_t page = pageBytes();
  return (bytes + page - 1) / page * page;
}

// Address space for `bytes`, without memory until it is written.
char* reserve(std::size_t bytes) {
  void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(pages);
}

}  // namespace

void LineReader::Unmap::operator()(char* pages) const noexcept {
  ::munmap(pages, bytes);
}

LineReader::LineReader(int fd, std::size_t maxLineBytes, std::size_t aheadBytes)
    : fd_(fd),
      maxLineBytes_(maxLineBytes),
      aheadBytes_(aheadBytes),
      slack_(std::max(aheadBytes / 4, kReadBlockBytes)),
      capacity_(roundUpToPage(std::max(maxLineBytes, aheadBytes) + slack_ + kReadBlockBytes)) {
  buf_ = std::unique_ptr<char, Unmap>(reserve(capacity_), Unmap{capacity_});
}

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
    touched_ = std::max(touched_, end_);
    return static_cast<std::size_t>(count);
  }
}

void LineReader::makeRoom() {
  if (begin_ == end_) {
    begin_ = end_ = searched_ = offered_ = 0;
    taken_.clear();
    release();
  }
  const std::size_t pending = end_ - begin_;
  // Moving the bytes down costs what is left; it waits until at least as much was handed over, or
  // a quarter of the budget when the end is reached. Lines of a few kilobytes so stay in the
  // buffer's first blocks.
  const bool roomy = capacity_ - end_ >= kReadBlockBytes;
  if (begin_ > 0 && (roomy ? begin_ >= pending && end_ + kReadBlockBytes > kKeptBytes
                           : begin_ >= slack_ || begin_ >= pending)) {
    moveDown();
    release();
  }
  if (capacity_ - end_ >= kReadBlockBytes) return;
  // Only the end of input drained behind a full read-ahead gets here: what is left in the pipe or
  // socket is kept too. The pages move, not the bytes.
  const std::size_t grown = roundUpToPage(std::max(2 * capacity_, end_ + kReadBlockBytes));
  void* pages = ::mremap(buf_.get(), capacity_, grown, MREMAP_MAYMOVE);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  (void)buf_.release();
  buf_ = std::unique_ptr<char, Unmap>(static_cast<char*>(pages), Unmap{grown});
  capacity_ = grown;
}

void LineReader::moveDown() {
  const std::size_t pending = end_ - begin_;
  std::memmove(buf_.get(), buf_.get() + begin_, pending);
  searched_ = std::max(searched_, begin_) - begin_;
  offered_ = std::max(offered_, begin_) - begin_;
  for (Taken& line : taken_) {
    line.start -= begin_;
    line.end -= begin_;
  }
  end_ = pending;
  begin_ = 0;
}

void LineReader::release() {
  // Only once what is left fits the first blocks (not in the middle of a long line, which would
  // take the memory again at once), and not for a few blocks: that costs more than it saves.
  if (end_ > kKeptBytes || touched_ < 2 * kKeptBytes) return;
  ::madvise(buf_.get() + kKeptBytes, roundUpToPage(touched_) - kKeptBytes, MADV_DONTNEED);
  touched_ = kKeptBytes;
}

void LineReader::end(Consumer& consumer) {
  ended_ = true;
  consumer.ended();
}

}  // namespace varn::mcp
