#include "mcp/browser/CDPMessageReader.hpp"

#include <string.h>  // explicit_bzero
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace varn::mcp {

namespace {

// Above this, the pages a message touched are given back once it has been handled.
constexpr std::size_t kKeptBytes = 1024 * 1024;

bool isSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

void TopLevelIdScanner::feed(std::string_view bytes) noexcept {
  for (char c : bytes) {
    if (done_) return;
    step(c);
  }
}

void TopLevelIdScanner::step(char c) noexcept {
  if (inString_) return stepInString(c);
  if (readingId_ && stepInId(c)) return;
  switch (c) {
    case '"':
      inString_ = true;
      if (depth_ == 1 && expectKey_) {
        inKey_ = true;
        keyIsId_ = true;
        keyLength_ = 0;
        expectKey_ = false;
      }
      return;
    case '{':
    case '[':
      if (depth_ == 0 && c != '{') {
        done_ = true;
        return;
      }
      if (++depth_ == 1) expectKey_ = true;
      return;
    case '}':
    case ']':
      if (--depth_ <= 0) done_ = true;
      return;
    case ',':
      if (depth_ == 1) expectKey_ = true;
      return;
    case ':':
      if (depth_ == 1 && keyIsId_) {
        readingId_ = true;
        digits_.clear();
      }
      keyIsId_ = false;
      return;
    default:
      if (depth_ == 0 && !isSpace(c)) done_ = true;
      return;
  }
}

void TopLevelIdScanner::stepInString(char c) noexcept {
  if (escaped_) {
    escaped_ = false;
  } else if (c == '\\') {
    escaped_ = true;
    // An escaped key is not the plain "id" that Chromium writes.
    if (inKey_) keyIsId_ = false;
  } else if (c == '"') {
    inString_ = false;
    if (inKey_ && keyLength_ != 2) keyIsId_ = false;
    inKey_ = false;
  } else if (inKey_) {
    if (keyLength_ >= 2 || c != "id"[keyLength_]) keyIsId_ = false;
    ++keyLength_;
  }
}

bool TopLevelIdScanner::stepInId(char c) noexcept {
  if (isSpace(c) && digits_.empty()) return true;
  if ((c >= '0' && c <= '9') || (c == '-' && digits_.empty())) {
    // Longer than any 64-bit integer: not one.
    if (digits_.size() == 20) readingId_ = false;
    if (readingId_) digits_ += c;
    return true;
  }
  readingId_ = false;
  if (c != ',' && c != '}' && !isSpace(c)) return false;  // a fraction, an exponent, a string
  std::int64_t value = 0;
  const char* end = digits_.data() + digits_.size();
  const auto [at, error] = std::from_chars(digits_.data(), end, value);
  if (error != std::errc() || at != end) return false;
  id_ = value;
  done_ = true;
  return true;
}

CDPMessageReader::CDPMessageReader(std::size_t maxMessageBytes, std::size_t chunkBytes)
    : max_(maxMessageBytes), chunk_(chunkBytes) {
  held_.reserve(max_ + chunk_);
}

CDPMessageReader::~CDPMessageReader() {
  wipeTouched();
}

void CDPMessageReader::wipeTouched() noexcept {
  // Only what was ever written: the rest of the reserve has never been touched.
  held_.resize(touched_);  // within the capacity: never reallocates
  explicit_bzero(held_.data(), held_.size());
  held_.clear();
}

void CDPMessageReader::release() {
  std::string fresh;
  fresh.reserve(max_ + chunk_);
  wipeTouched();
  held_.swap(fresh);
  touched_ = 0;
}

ssize_t CDPMessageReader::readFrom(int fd) {
  // What was handed out goes first, so that the held bytes begin with the current message.
  if (start_ == held_.size() && touched_ > kKeptBytes) {
    release();
  } else {
    held_.erase(0, start_);
    scanned_ -= start_;
  }
  if (held_.empty()) scanned_ = 0;
  start_ = 0;
  const std::size_t before = held_.size();
  held_.resize(before + chunk_);
  touched_ = std::max(touched_, held_.size());
  ssize_t n;
  do {
    n = ::read(fd, held_.data() + before, chunk_);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  held_.resize(before + static_cast<std::size_t>(n > 0 ? n : 0));
  errno = error;
  return n;
}

std::optional<CDPMessageReader::Item> CDPMessageReader::next() {
  for (;;) {
    if (skipping_) {
      std::optional<Item> skipped = skip();
      if (skipped || skipping_) return skipped;
      continue;
    }
    const std::size_t nul = held_.find('\0', std::max(scanned_, start_));
    const std::size_t end = nul == std::string::npos ? held_.size() : nul;
    scanned_ = end;
    if (end - start_ > max_) {
      skipping_ = true;
      reported_ = false;
      scanner_ = TopLevelIdScanner();
      continue;
    }
    if (nul == std::string::npos) return std::nullopt;
    const std::string_view message = std::string_view(held_).substr(start_, nul - start_);
    start_ = scanned_ = nul + 1;
    return message;
  }
}

std::optional<CDPMessageReader::Item> CDPMessageReader::skip() {
  const std::size_t nul = held_.find('\0', start_);
  const std::size_t end = nul == std::string::npos ? held_.size() : nul;
  if (!scanner_.done()) scanner_.feed(std::string_view(held_).substr(start_, end - start_));
  // Stepped over: the next read drops these bytes.
  start_ = scanned_ = end;
  if (nul != std::string::npos) {
    skipping_ = false;
    start_ = scanned_ = nul + 1;
  }
  if (reported_ || !scanner_.id()) return std::nullopt;
  reported_ = true;
  return Oversized{*scanner_.id()};
}

}  // namespace varn::mcp
