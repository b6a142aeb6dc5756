#pragma once

// What a tool is built from: the services the start-up builds once and every tool shares. The
// server's tool table builds each tool from them, so that a tool joins the server through its own
// files and its row alone.

#include <concepts>
#include <memory>
#include <type_traits>
#include <utility>

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
