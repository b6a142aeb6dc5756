#pragma once

#include <exception>
#include <string>

namespace varn::mcp {

// The error of the tools, the tool dispatch and the vault client.
// `invalidArguments`: the arguments of a tool or a call are unusable.
// `upstream`: a lower layer failed (the vault's error texts, socket failures, non-HTTP responses).
// what() is the printed form that follows "error: " in a tool result: the case name, then the
// message in double quotes with \\ \" \' \n \r \t \0 escaped, in parentheses:
//   invalidArguments("argv must not be empty")
class ToolError : public std::exception {
 public:
  enum class Case { invalidArguments, upstream };

  static ToolError invalidArguments(std::string message) {
    return ToolError(Case::invalidArguments, std::move(message));
  }
  static ToolError upstream(std::string message) {
    return ToolError(Case::upstream, std::move(message));
  }

  Case errorCase() const noexcept { return case_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return printed_.c_str(); }

  bool operator==(const ToolError& other) const noexcept {
    return case_ == other.case_ && message_ == other.message_;
  }

 private:
  ToolError(Case errorCase, std::string message);

  Case case_;
  std::string message_;
  std::string printed_;
};

}  // namespace varn::mcp
