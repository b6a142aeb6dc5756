#pragma once

// Writing JSON text directly, for the places where building a JSON value first would copy a large
// text once more.

#include <string>
#include <string_view>

namespace varn::support {

// Appends `text` as a JSON string, quotes included. Valid UTF-8 is written as it is, with the
// escapes JSON needs (quote, backslash, control characters); anything else goes through the JSON
// library, which replaces what is not UTF-8. Never writes a raw line feed.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace varn::support
