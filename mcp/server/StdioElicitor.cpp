#include "mcp/server/StdioElicitor.hpp"

#include <utility>

#include "mcp/secrets/ResolveError.hpp"
#include "support/Json.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

void appendPercentEncoded(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0x0F]);
  }
}

// The reference as the prompt shows it. Works on bytes, so text that is not UTF-8 passes through
// without harm; in UTF-8, C1 controls are C2 80..C2 9F and U+2028/U+2029 are E2 80 A8/A9.
std::string promptForm(std::string_view ref) {
  std::string out;
  out.reserve(ref.size());
  for (std::size_t i = 0; i < ref.size(); ++i) {
    const auto byte = static_cast<unsigned char>(ref[i]);
    if (byte < 0x20 || byte == 0x7F) {
      appendPercentEncoded(out, ref.substr(i, 1));
    } else if (byte == 0xC2 && i + 1 < ref.size() &&
               static_cast<unsigned char>(ref[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(ref[i + 1]) <= 0x9F) {
      appendPercentEncoded(out, ref.substr(i, 2));
      i += 1;
    } else if (byte == 0xE2 && i + 2 < ref.size() &&
               static_cast<unsigned char>(ref[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(ref[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(ref[i + 2]) == 0xA9)) {
      appendPercentEncoded(out, ref.substr(i, 3));
      i += 2;
    } else {
      out.push_back(ref[i]);
    }
  }
  return out;
}

}  // namespace

StdioElicitor::StdioElicitor(Writer writer, std::shared_ptr<ElicitationCoordinator> coordinator,
                             std::chrono::steady_clock::duration timeout)
    : writer_(std::move(writer)), coordinator_(std::move(coordinator)), timeout_(timeout) {}

std::string StdioElicitor::approvalMessage(std::string_view ref, std::string_view operation) {
  std::string message = "Approve ";
  message.append(operation);
  message.append(" using ");
  message.append(promptForm(ref));
  message.append("? Accept to approve, Decline to refuse.");
  return message;
}

std::string StdioElicitor::requestLine(const std::string& id, std::string_view ref,
                                       std::string_view operation) {
  support::OrderedJson request;
  request["jsonrpc"] = "2.0";
  request["id"] = id;
  request["method"] = "elicitation/create";
  request["params"]["message"] = approvalMessage(ref, operation);
  request["params"]["requestedSchema"]["type"] = "object";
  request["params"]["requestedSchema"]["properties"] = support::OrderedJson::object();
  return support::dumpCompact(request);
}

bool StdioElicitor::requestApproval(const std::string& ref, const std::string& operation) {
  const std::string id = "elicit-" + support::randomUUID();
  // Opened before the request leaves, so an answer that overtakes the wait below is kept.
  coordinator_->open(id);
  if (!writer_(requestLine(id, ref, operation))) {
    coordinator_->abandon(id);
    return false;
  }
  const ElicitationResult answer = coordinator_->wait(id, timeout_);
  if (answer.action == "timeout") throw ResolveError::approvalTimeout(ref);
  return answer.action == "accept";
}

}  // namespace varn::mcp
