#include "mcp/secrets/testing/ScriptedVault.hpp"

#include <utility>

namespace varn::mcp::fakes {

using support::Json;
using support::OrderedJson;
using Op = VaultRequest::Op;

void ScriptedVault::record(Op op, OrderedJson arguments) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(Call{op, std::move(arguments)});
  if (failAfter >= 0 && static_cast<int>(calls_.size()) > failAfter) throw failure;
}

std::vector<ScriptedVault::Call> ScriptedVault::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

VaultResponse ScriptedVault::next(std::deque<VaultResponse>& replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (replies.empty()) throw ToolError::upstream("no scripted reply");
  VaultResponse reply = std::move(replies.front());
  replies.pop_front();
  return reply;
}

Json ScriptedVault::managementReply(Op op) const {
  auto it = managementReplies.find(op);
  if (it == managementReplies.end()) throw ToolError::upstream("no scripted reply");
  return it->second;
}

VaultResponse ScriptedVault::resolve(std::string_view ref, bool approved) {
  OrderedJson arguments = OrderedJson::object();
  arguments["ref"] = std::string(ref);
  arguments["approved"] = approved;
  record(Op::resolve, std::move(arguments));
  return next(resolveReplies);
}

VaultResponse ScriptedVault::preview(std::string_view ref) {
  OrderedJson arguments = OrderedJson::object();
  arguments["ref"] = std::string(ref);
  record(Op::preview, std::move(arguments));
  return next(previewReplies);
}

std::vector<VaultListEntry> ScriptedVault::list(const std::optional<std::string>& collection,
                                                const std::optional<std::string>& query) {
  OrderedJson arguments = OrderedJson::object();
  support::putOptional(arguments, "collection", collection);
  support::putOptional(arguments, "query", query);
  record(Op::list, std::move(arguments));
  return listReply;
}

Json ScriptedVault::manage(const VaultRequest& request) {
  OrderedJson arguments = request.toJson();
  arguments.erase("op");
  record(request.op, std::move(arguments));
  return managementReply(request.op);
}

namespace {

template <typename J>
void printMasked(J json, std::ostream* out) {
  if (json.contains("value")) json["value"] = "<masked>";
  *out << support::dumpCompact(json);
}

}  // namespace

void PrintTo(const ScriptedVault::Call& call, std::ostream* out) {
  *out << toString(call.op) << " ";
  printMasked(call.arguments, out);
}

}  // namespace varn::mcp::fakes

namespace varn::mcp {

void PrintTo(const VaultResponse& response, std::ostream* out) {
  fakes::printMasked(response.toJson(), out);
}

void PrintTo(const VaultRequest& request, std::ostream* out) {
  fakes::printMasked(request.toJson(), out);
}

}  // namespace varn::mcp
