#include "mcp/browser/BrowserFillCore.hpp"

#include <chrono>

#include "crypto/otp/TOTP.hpp"
#include "mcp/browser/OriginLock.hpp"
#include "mcp/secrets/VarnRef.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {
namespace {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

VARN_JSON_RECORD_MEMBERS(BrowserFillOutput);

BrowserFillCore::BrowserFillCore(std::shared_ptr<ResolveService> resolver,
                                 std::shared_ptr<VaultClient> vault,
                                 std::shared_ptr<BrowserController> controller, WallClock clock)
    : resolver_(std::move(resolver)),
      vault_(std::move(vault)),
      controller_(std::move(controller)),
      clock_(std::move(clock)) {}

BrowserFillOutput BrowserFillCore::fill(const std::string& ref, FillField field,
                                        const std::optional<std::string>& selector, bool submit,
                                        const std::string& tool) const {
  (void)VarnRef::parse(ref);
  if (!controller_->isRunning()) throw BrowserError::noBrowser();

  const FieldMatch match = controller_->locateField(field, selector);
  if (match.count == 0) throw BrowserError::fieldNotFound(field, match.pageURL);
  // Also with a selector: the controller focuses only a single match, so with several the text
  // would go wherever the focus happens to be.
  if (match.count >= 2) throw BrowserError::ambiguousField(field, match.count);

  // The decision first, so that nobody is asked to approve a fill the checks below refuse.
  const VaultResponse preview = vault_->preview(ref);
  if (preview.decision == VaultDecision::refused) throw ResolveError::refused(ref);
  OriginLock::check(match.frameOrigin, preview.url, preview.allowedHosts, ref);
  if (field == FillField::password && asciiLower(match.inputType) != "password") {
    throw BrowserError::concealedFieldRequired(match.inputType);
  }

  std::string value = resolver_->resolveValue(ref, tool, std::nullopt);
  support::WipedOnExit wipeValue(value);
  std::string code;
  support::WipedOnExit wipeCode(code);
  if (field == FillField::otp) {
    code = crypto::TOTP::code(value, crypto::TOTP::Date(std::chrono::duration<double>(clock_())));
  }
  controller_->typeIntoFocused(field == FillField::otp ? code : value);
  support::wipe(value);
  support::wipe(code);

  if (submit) controller_->submitFocused();
  return BrowserFillOutput{true, std::string(toString(field)), match.frameOrigin, submit};
}

}  // namespace varn::mcp
