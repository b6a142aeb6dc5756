#pragma once

#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace varn::tests {

// The secret values a test hands to the server or lets the fake vault hand out, and the check
// that none of them ever comes back: not in a reply line, not on standard error. A value counts
// as leaked in its raw form and in its JSON-escaped forms (with and without "\/"). Failure
// messages name the secret by number and the place by line number; they never show the value.
class LeakCheck final {
 public:
  // Registers `value` (non-empty) and returns it, so a test can write
  // `std::string value = leaks.secret("...")`.
  const std::string& secret(std::string value);

  // `text` with every registered value (in each of its forms) replaced by "<secret N>", N
  // counting from 1 in registration order. For comparing texts that might hold a value without
  // printing the value on failure.
  [[nodiscard]] std::string redact(std::string text) const;

  // Success when no registered value appears in any line or in `stderrText`.
  [[nodiscard]] testing::AssertionResult absentFrom(const std::vector<std::string>& lines,
                                                    const std::string& stderrText) const;

 private:
  [[nodiscard]] std::vector<std::string> formsOf(const std::string& value) const;
  std::deque<std::string> secrets_;  // a deque: references handed out stay valid
};

}  // namespace varn::tests
