#include "mcp/server/StdioElicitor.hpp"

#include <utility>

#include "mcp/secrets/ResolveError.hpp"
#include "support/Ascii.hpp"
#include "support/Json.hpp"
#include "support/Utf8.hpp"
#include "support/Uuid.hpp"

namespace varn::mcp {
namespace {

void appendPercentEncoded(std::string& out, std::string_view bytes) {
  for (char c : bytes) {
    out.push_back('%');
    support::appendHexUpper(out, static_cast<std::uint8_t>(c));
  }
}

// Characters that would let a reference display as something it is not: controls (C0, DEL, C1),
// the line and paragraph separators, the bidirectional controls and the invisible ones (soft
// hyphen, zero-width space and joiners, word joiner, byte order mark).
bool hiddenInPrompt(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x061C ||
         (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || c == 0x2060 || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// The reference as the prompt shows it: those characters percent-encoded, byte by byte of their
// UTF-8 form. Bytes that are not UTF-8 pass through as they are.
std::string promptForm(std::string_view ref) {
  std::string out;
  out.reserve(ref.size());
  for (std::size_t i = 0; i < ref.size();) {
    const std::size_t start = i;
    const char32_t c = support::nextCodePoint(ref, i);
    const std::string_view bytes = ref.substr(start, i - start);
    if (hiddenInPrompt(c)) {
      appendPercentEncoded(out, bytes);
    } else {
      out.append(bytes);
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
