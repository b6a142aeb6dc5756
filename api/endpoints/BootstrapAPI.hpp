#pragma once

#include <optional>

#include "api/core/WireTypes.hpp"
#include "api/models/AccountRecords.hpp"

namespace varn::api {

// Creating a first organisation and its collections. VarnAPIClient is the one implementation;
// each operation is documented there. Every operation blocks and throws only APIError.
class BootstrapAPI {
 public:
  virtual ~BootstrapAPI() = default;

  virtual OrgDTO createOrg(std::optional<UUID> id, const Bytes& nameBlob) = 0;
  virtual CollectionDTO createCollection(UUID orgId, std::optional<UUID> id,
                                         std::optional<UUID> parentId, const Bytes& nameBlob,
                                         const Bytes& wrappedKey) = 0;
};

}  // namespace varn::api
