#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace varn::mcp {

// The refusals of the resolve road. what() is the full user-facing message, shown after "error: ".
// Payloads (references, tools, destinations) are inserted unchanged; they are never secret values.
class ResolveError : public std::exception {
 public:
  enum class Case {
    rateLimited,
    refused,
    denied,
    approvalTimeout,
    noValue,
    unbound,
    destinationNotAllowed,
    handleExpired,
    killSwitchActive,
  };

  static ResolveError rateLimited(std::string key);
  static ResolveError refused(std::string ref);
  static ResolveError denied(std::string ref);
  static ResolveError approvalTimeout(std::string ref);
  static ResolveError noValue(std::string ref);
  // `binding` is the key of the binding the credential lacks ("allowed_hosts" for a tool that
  // sends it to a host); the text names it, and the tool.
  static ResolveError unbound(std::string ref, std::string tool, std::string_view binding);
  static ResolveError destinationNotAllowed(std::string ref, std::string destination);
  static ResolveError handleExpired(std::string ref);
  static ResolveError killSwitchActive();

  Case errorCase() const noexcept { return case_; }
  // The reference (or, for rateLimited, the key) the error names; empty for killSwitchActive.
  const std::string& ref() const noexcept { return first_; }
  // The tool of unbound, the destination of destinationNotAllowed; empty otherwise.
  const std::string& detail() const noexcept { return second_; }
  const char* what() const noexcept override { return description_.c_str(); }
  const std::string& description() const noexcept { return description_; }

  bool operator==(const ResolveError& other) const noexcept {
    return case_ == other.case_ && first_ == other.first_ && second_ == other.second_;
  }

 private:
  ResolveError(Case errorCase, std::string first, std::string second,
               std::string_view binding = {});

  Case case_;
  std::string first_;
  std::string second_;
  std::string description_;
};

}  // namespace varn::mcp
