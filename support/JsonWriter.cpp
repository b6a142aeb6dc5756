#include "support/JsonWriter.hpp"

#include "support/Ascii.hpp"
#include "support/Json.hpp"
#include "support/Utf8.hpp"

namespace varn::support {

void appendJsonString(std::string& out, std::string_view text) {
  if (!isValidUtf8(text)) {
    out.append(dumpCompact(Json(std::string(text))));
    return;
  }
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out.append("\\u00");
          out.push_back(kHexDigitsLower[(c >> 4) & 0x0F]);
          out.push_back(kHexDigitsLower[c & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace varn::support
