#pragma once

// A tool as the server runs it: on the JSON "arguments" of a call, giving the JSON text of its
// result. RecordTool puts any Tool (mcp/tools/ToolServices.hpp) behind that one interface.

#include <string>
#include <string_view>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/Json.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// One built tool of the server's table. Immutable; run may be called from many threads at once.
class RunnableTool {
 public:
  virtual ~RunnableTool() = default;

  // Decodes `args` as the tool's input record (a list or map past its limit is refused with
  // ToolError::invalidArguments, a decoding error passes through, and the tool does not run),
  // frees them, runs the tool and returns its output record as compact JSON text. A tool without
  // input never looks at `args`. What the tool throws passes through; an output that cannot be
  // encoded is a ToolError::upstream, never a success. Blocks for as long as the tool runs.
  [[nodiscard]] virtual std::string run(support::Json& args) const = 0;
};

// The tool T run on JSON records.
template <Tool T>
class RecordTool final : public RunnableTool {
 public:
  // T over `services`; named `name` when T takes the name of its row.
  RecordTool(const ToolServices& services, std::string_view name) : tool_(build(services, name)) {}

  [[nodiscard]] std::string run(support::Json& args) const override {
    if constexpr (ToolWithInput<T>) {
      const auto input = decodeInput<typename T::Input>(args);
      support::Json().swap(args);  // the input holds what the tool needs: one copy, not two
      return encodeOutput(tool_.run(input));
    } else {
      support::Json().swap(args);
      return encodeOutput(tool_.run());
    }
  }

 private:
  static T build(const ToolServices& services, std::string_view name) {
    if constexpr (ToolNamedByItsRow<T>) {
      return T(services, std::string(name));
    } else {
      return T(services);
    }
  }

  template <support::JsonRecord Input>
  static Input decodeInput(const support::Json& args) {
    // A list or map longer than any real call needs is refused before it is decoded.
    if (const auto breach = support::jsonLimitBreach<Input>(args)) {
      throw ToolError::invalidArguments("argument " + std::string(breach->key) +
                                        " holds more than " + std::to_string(breach->limit) +
                                        " entries");
    }
    return support::decodeRecord<Input>(args);
  }

  static std::string encodeOutput(const typename T::Output& output) {
    try {
      return support::dumpCompact(support::encodeRecord(output));
    } catch (...) {
      // The tool has run, so its effect stands, but the client must not read a made-up result.
      // The encoder's own text is not passed on: it may quote the output.
      throw ToolError::upstream("the tool's output could not be encoded as JSON");
    }
  }

  const T tool_;
};

}  // namespace varn::mcp
