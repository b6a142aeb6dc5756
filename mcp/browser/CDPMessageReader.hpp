#pragma once

// The messages of the browser's DevTools pipe, cut from its bytes within a bound on what is held.

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace varn::mcp {

// Follows the top level of one JSON object byte by byte and keeps only what it takes to read the
// integer under its top-level "id" key, wherever that key stands; strings and nested values are
// stepped over without being held. Not thread-safe.
class TopLevelIdScanner final {
 public:
  // Reads the next bytes of the object.
  void feed(std::string_view bytes) noexcept;
  // The top-level "id" once its integer has been read (the first such key counts).
  [[nodiscard]] std::optional<std::int64_t> id() const noexcept { return id_; }
  // Whether further bytes can change nothing: the id is read, the object has ended, or the text
  // is no object.
  [[nodiscard]] bool done() const noexcept { return done_; }

 private:
  void step(char c) noexcept;
  void stepInString(char c) noexcept;
  // Takes `c` as part of the id's value; false when the value has ended before it.
  bool stepInId(char c) noexcept;

  int depth_ = 0;
  bool inString_ = false;
  bool escaped_ = false;
  bool expectKey_ = false;  // the next string at depth 1 is a key
  bool inKey_ = false;      // a key at depth 1 is being read
  bool keyIsId_ = false;    // the key read so far (or just read) is exactly "id"
  bool readingId_ = false;  // the value of a top-level "id" is being read
  std::string digits_;      // of that value, at most 20 characters
  std::size_t keyLength_ = 0;
  std::optional<std::int64_t> id_;
  bool done_ = false;
};

// Cuts the NUL-ended messages of the browser's pipe from what is read from it. A message longer
// than `maxMessageBytes` is skipped to its end as its bytes come, without being held: only the
// integer of its top-level "id" is read from it, and reported once as an Oversized item as soon
// as it is known. So whatever the browser sends, at most `maxMessageBytes` plus one read are held,
// in one buffer reserved (not yet touched) at construction, so that it never grows by copying;
// the memory of a large message is given back once it has been handled.
// Not thread-safe: one reader thread.
class CDPMessageReader final {
 public:
  // A message past the limit that carried a top-level integer "id" (a reply).
  struct Oversized {
    std::int64_t id;
  };
  // A whole message (its bytes, without the NUL; valid until the next readFrom()), or Oversized.
  using Item = std::variant<std::string_view, Oversized>;

  // `chunkBytes`: the most one read takes.
  CDPMessageReader(std::size_t maxMessageBytes, std::size_t chunkBytes);
  // The held bytes are wiped: a message may carry what a page holds.
  ~CDPMessageReader();
  CDPMessageReader(const CDPMessageReader&) = delete;
  CDPMessageReader& operator=(const CDPMessageReader&) = delete;

  // One read(2) of up to chunkBytes from `fd` (retried on EINTR), appended to what is held;
  // returns read's result (errno set when it is negative). Items handed out before are gone.
  ssize_t readFrom(int fd);
  // The next item of the bytes read so far, or nullopt until more are read.
  [[nodiscard]] std::optional<Item> next();

 private:
  // Steps over the held bytes of a message past the limit, up to its end when it has come.
  std::optional<Item> skip();

  // Empties held_ into a fresh buffer, giving back the pages that a large message touched.
  void release();
  // Wipes and empties held_, as far as it has ever been written.
  void wipeTouched() noexcept;

  const std::size_t max_;
  const std::size_t chunk_;
  std::string held_;           // the current message's start first, then anything read after it
  std::size_t start_ = 0;      // where in held_ the current message begins
  std::size_t scanned_ = 0;    // held_ holds no NUL from start_ to here
  bool skipping_ = false;      // the current message is past the limit
  bool reported_ = false;      // its id has been reported
  std::size_t touched_ = 0;    // the most held_ has held since release()
  TopLevelIdScanner scanner_;  // reads the id of the message skipped
};

}  // namespace varn::mcp
