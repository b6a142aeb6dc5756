#include "tests/support/LeakCheck.hpp"

#include <stdexcept>

#include "support/Json.hpp"

namespace varn::tests {

namespace {

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

}  // namespace

const std::string& LeakCheck::secret(std::string value) {
  if (value.empty()) throw std::invalid_argument("a secret value cannot be empty");
  secrets_.push_back(std::move(value));
  return secrets_.back();
}

std::vector<std::string> LeakCheck::formsOf(const std::string& value) const {
  std::string quoted = support::dumpCompact(support::Json(value));
  std::string escaped = quoted.substr(1, quoted.size() - 2);
  std::string slashes = escaped;
  replaceAll(slashes, "/", "\\/");
  std::vector<std::string> forms{value};
  for (const std::string& form : {escaped, slashes}) {
    if (form != value) forms.push_back(form);
  }
  return forms;
}

std::string LeakCheck::redact(std::string text) const {
  for (std::size_t i = 0; i < secrets_.size(); ++i) {
    for (const std::string& form : formsOf(secrets_[i])) {
      replaceAll(text, form, "<secret " + std::to_string(i + 1) + ">");
    }
  }
  return text;
}

testing::AssertionResult LeakCheck::absentFrom(const std::vector<std::string>& lines,
                                               const std::string& stderrText) const {
  std::string found;
  for (std::size_t i = 0; i < secrets_.size(); ++i) {
    for (const std::string& form : formsOf(secrets_[i])) {
      for (std::size_t n = 0; n < lines.size(); ++n) {
        if (lines[n].find(form) != std::string::npos) {
          found += "secret " + std::to_string(i + 1) + " appears in output line " +
                   std::to_string(n + 1) + "\n";
        }
      }
      if (stderrText.find(form) != std::string::npos) {
        found += "secret " + std::to_string(i + 1) + " appears on standard error\n";
      }
    }
  }
  if (found.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << found;
}

}  // namespace varn::tests
