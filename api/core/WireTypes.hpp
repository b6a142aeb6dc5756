#pragma once

// The plain value types of the wire records and endpoints.

#include <cstdint>
#include <vector>

#include "support/Uuid.hpp"

namespace varn::api {

// Bytes as the client and the host hand them over.
using Bytes = std::vector<std::uint8_t>;

// Organisation, account, collection, item and policy identifiers: written in upper case, read in
// either case.
using UUID = support::Uuid;

}  // namespace varn::api
