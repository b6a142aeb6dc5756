#pragma once

// What a tool is, and what it is built from: the services the start-up builds once and every tool
// shares. The server's tool table builds each tool from them, so that a tool joins the server
// through its own files and its row alone.

#include <concepts>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "support/JsonRecord.hpp"

namespace varn::mcp {

class VaultClient;
class ResolveService;
class TokenVault;
class HTTPTransport;
class BrowserController;

// The shared services. None may be null but `browser` (then the server has no browser tools);
// `tokens` must be the handle store of `resolver`. Copying copies pointers.
struct ToolServices {
  std::shared_ptr<VaultClient> vault{};
  std::shared_ptr<ResolveService> resolver{};
  std::shared_ptr<TokenVault> tokens{};
  std::shared_ptr<HTTPTransport> transport{};
  bool allowUnboundHttp = false;
  bool allowUnboundCommand = false;
  std::shared_ptr<BrowserController> browser{};
};

// --- what a tool is ------------------------------------------------------------------------------
//
// A tool is a small immutable value, built once from the shared services and run by every call of
// its name, from many threads at once. It has
//   - `Output`, the record its run returns, coded by the record codec (VARN_JSON_RECORD);
//   - `Input`, the record its arguments decode into, unless it takes no argument at all;
//   - `Output run(const Input&) const`, or `Output run() const` without Input; what it throws
//     reaches the client as "error: " and the error's text;
//   - a constructor from `(const ToolServices&, std::string name)` when it takes the resolve road,
//     which asks and audits under the tool's name, else from `(const ToolServices&)`.

template <typename T>
concept ToolWithOutput = requires {
  typename T::Output;
  requires support::JsonRecord<typename T::Output>;
};

template <typename T>
concept ToolWithInput = requires {
  typename T::Input;
};

template <typename T>
concept ToolInputIsRecord = !ToolWithInput<T> || support::JsonRecord<typename T::Input>;

template <typename T>
concept ToolRuns = (ToolWithInput<T> &&
                    requires(const T& tool, const typename T::Input& input) {
                      { tool.run(input) } -> std::same_as<typename T::Output>;
                    }) ||
                   (!ToolWithInput<T> && requires(const T& tool) {
                     { tool.run() } -> std::same_as<typename T::Output>;
                   });

template <typename T>
concept ToolNamedByItsRow = std::constructible_from<T, const ToolServices&, std::string>;

template <typename T>
concept ToolBuildsFromServices =
    ToolNamedByItsRow<T> || std::constructible_from<T, const ToolServices&>;

template <typename T>
concept Tool =
    ToolWithOutput<T> && ToolInputIsRecord<T> && ToolRuns<T> && ToolBuildsFromServices<T>;

// Tool<T>, with each clause that T breaks stated by an assertion of its own: called where a tool
// joins the table, so that a mistake is one line naming what is missing.
template <typename T>
consteval bool checkTool() {
  static_assert(ToolWithOutput<T>, "a tool declares `using Output = ...;`, a VARN_JSON_RECORD");
  static_assert(ToolInputIsRecord<T>, "a tool's Input is a VARN_JSON_RECORD");
  static_assert(!ToolWithOutput<T> || !ToolInputIsRecord<T> || ToolRuns<T>,
                "a tool has `Output run(const Input&) const`, or `Output run() const` when it "
                "declares no Input");
  static_assert(ToolBuildsFromServices<T>,
                "a tool is constructible from (const ToolServices&, std::string name) or from "
                "(const ToolServices&)");
  return Tool<T>;
}

// --- tools over one service ----------------------------------------------------------------------

// The input and output of a tool's body, read from its type: `Output (*)(Service&, const Input&)`,
// or `Output (*)(Service&)` for a tool without input (which then declares no Input).
template <typename Body>
struct ToolBodyTypes;
template <typename Service, typename Out, typename In>
struct ToolBodyTypes<Out (*)(Service&, const In&)> {
  using Input = In;
  using Output = Out;
};
template <typename Service, typename Out>
struct ToolBodyTypes<Out (*)(Service&)> {
  using Output = Out;
};

// A tool whose one collaborator is one shared service (the vault client or the browser
// controller) and whose run is `Body` on it. Immutable; runs are as thread-safe as `Body` on the
// service. `service` must not be null.
template <typename Service, auto Body>
class ServiceTool : public ToolBodyTypes<decltype(Body)> {
 public:
  explicit ServiceTool(std::shared_ptr<Service> service) : service_(std::move(service)) {}
  // Over the service of `services` that has this type.
  explicit ServiceTool(const ToolServices& services) : ServiceTool(of(services)) {}

  // Body's result; what it throws passes through. Blocks for as long as Body does.
  template <typename Types = ToolBodyTypes<decltype(Body)>>
  [[nodiscard]] auto run(const typename Types::Input& input) const {
    return Body(*service_, input);
  }
  [[nodiscard]] auto run() const requires(std::is_invocable_v<decltype(Body), Service&>) {
    return Body(*service_);
  }

 private:
  static const std::shared_ptr<Service>& of(const ToolServices& services) {
    if constexpr (std::same_as<Service, VaultClient>) {
      return services.vault;
    } else {
      static_assert(std::same_as<Service, BrowserController>, "no such shared service");
      return services.browser;
    }
  }

  std::shared_ptr<Service> service_;
};

}  // namespace varn::mcp
