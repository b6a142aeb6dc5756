#pragma once

// The only way any part of the server reaches the desktop vault: its eighteen operations.

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "mcp/secrets/ManagementRecords.hpp"
#include "mcp/secrets/VaultWire.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// One management operation of the vault: the op of its request, the record whose fields fill the
// request (each into the request field of the same key) and the record its reply decodes into.
// The op's text is also the name of the management tool that runs it.
template <VaultRequest::Op Code, typename In, typename Out>
struct ManagementOperation {
  static constexpr VaultRequest::Op op = Code;
  using Input = In;
  using Output = Out;
};

using SecretCreateOperation =
    ManagementOperation<VaultRequest::Op::secretCreate, SecretCreateInput, SecretMetadataOutput>;
using SecretGetOperation =
    ManagementOperation<VaultRequest::Op::secretGet, SecretGetInput, SecretMetadataOutput>;
using SecretUpdateOperation =
    ManagementOperation<VaultRequest::Op::secretUpdate, SecretUpdateInput, SecretMetadataOutput>;
using SecretDeleteOperation =
    ManagementOperation<VaultRequest::Op::secretDelete, SecretDeleteInput, DeleteOutput>;
using GroupListOperation =
    ManagementOperation<VaultRequest::Op::groupList, NoArguments, GroupListOutput>;
using GroupCreateOperation =
    ManagementOperation<VaultRequest::Op::groupCreate, GroupCreateInput, GroupOutput>;
using GroupGetOperation =
    ManagementOperation<VaultRequest::Op::groupGet, GroupGetInput, GroupOutput>;
using GroupUpdateOperation =
    ManagementOperation<VaultRequest::Op::groupUpdate, GroupUpdateInput, GroupOutput>;
using GroupDeleteOperation =
    ManagementOperation<VaultRequest::Op::groupDelete, GroupDeleteInput, DeleteOutput>;
using ProjectListOperation =
    ManagementOperation<VaultRequest::Op::projectList, NoArguments, ProjectListOutput>;
using ProjectCreateOperation =
    ManagementOperation<VaultRequest::Op::projectCreate, ProjectCreateInput, ProjectOutput>;
using ProjectGetOperation =
    ManagementOperation<VaultRequest::Op::projectGet, ProjectGetInput, ProjectOutput>;
using ProjectUpdateOperation =
    ManagementOperation<VaultRequest::Op::projectUpdate, ProjectUpdateInput, ProjectOutput>;
using ProjectDeleteOperation =
    ManagementOperation<VaultRequest::Op::projectDelete, ProjectDeleteInput, DeleteOutput>;

// The fourteen, in the order of their ops.
using ManagementOperations =
    std::tuple<SecretCreateOperation, SecretGetOperation, SecretUpdateOperation,
               SecretDeleteOperation, GroupListOperation, GroupCreateOperation, GroupGetOperation,
               GroupUpdateOperation, GroupDeleteOperation, ProjectListOperation,
               ProjectCreateOperation, ProjectGetOperation, ProjectUpdateOperation,
               ProjectDeleteOperation>;

// The vault's operations. Every call blocks until the vault has answered and may throw: a
// ToolError::upstream for transfer failures and vault-reported errors, a support::JsonDecodeError
// for a reply that does not decode. Arguments are passed on unchanged; replies are returned as
// decoded, so a "refused" decision is an ordinary result.
//
// Implementations must allow concurrent calls from many threads. resolve, preview and list must be
// supplied; `manage` has a default that throws ToolError::upstream("vault does not support <op>")
// with the request's op text (for example "vault does not support capture"), before anything is
// sent, so a client without it supports neither capture nor the management operations.
class VaultClient {
 public:
  virtual ~VaultClient() = default;

  // Asks for a secret's value; `approved` says a human has approved this release.
  virtual VaultResponse resolve(std::string_view ref, bool approved) = 0;
  // Asks for a secret's masked descriptor (type, length, last four characters).
  virtual VaultResponse preview(std::string_view ref) = 0;
  // The stored secrets, optionally narrowed by collection and by a search text, in the vault's
  // order.
  virtual std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                           const std::optional<std::string>& query) = 0;

  // Sends a capture or management request and returns the vault's reply as JSON, for the
  // operation's reply record to decode.
  virtual support::Json manage(const VaultRequest& request);

  // Asks the desktop application to capture a new credential for `origin` (the request's "url").
  SecretMetadataOutput captureSecret(std::string_view origin,
                                     const std::optional<std::string>& name);

  // One management operation of the table above: the input's fields go into the request fields
  // of the same keys (absent optionals stay absent), the reply decodes as the operation's output.
  template <typename Operation>
  typename Operation::Output run(const typename Operation::Input& input) {
    VaultRequest request;
    request.op = Operation::op;
    support::assignFieldsByKey(input, request);
    return support::decodeRecord<typename Operation::Output>(manage(request));
  }

 protected:
  VaultClient() = default;
  VaultClient(const VaultClient&) = default;
  VaultClient& operator=(const VaultClient&) = default;
};

}  // namespace varn::mcp
