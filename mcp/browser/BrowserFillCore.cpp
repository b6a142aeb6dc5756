#include "mcp/browser/BrowserFillCore.hpp"

#include <chrono>

#include "crypto/otp/TOTP.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/OriginLock.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VarnRef.hpp"
#include "support/Ascii.hpp"
#include "support/Utf8.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {
namespace {

using support::asciiLower;

// What the vault holds, as far as typing goes.
enum class ValueKind { password, otp, plain };

ValueKind kindOf(const std::optional<std::string>& vaultType) {
  const std::string type = asciiLower(support::trimWhitespaceAndNewlines(vaultType.value_or("")));
  // Without a type the value may be a password, and is treated as one.
  if (type.empty() || type == "password") return ValueKind::password;
  if (type == "otp") return ValueKind::otp;
  return ValueKind::plain;
}

}  // namespace

BrowserFillCore::BrowserFillCore(std::shared_ptr<ResolveService> resolver,
                                 std::shared_ptr<VaultClient> vault,
                                 std::shared_ptr<BrowserController> controller, WallClock clock)
    : resolver_(std::move(resolver)),
      vault_(std::move(vault)),
      controller_(std::move(controller)),
      clock_(std::move(clock)) {}

bool BrowserFillCore::fits(FillField field, const std::optional<std::string>& vaultType) {
  switch (kindOf(vaultType)) {
    case ValueKind::password:
      return field == FillField::password;
    case ValueKind::otp:
      return field == FillField::otp;
    case ValueKind::plain:
      return field == FillField::username || field == FillField::custom;
  }
  return false;
}

void BrowserFillCore::checkFits(FillField field, const std::optional<std::string>& vaultType,
                                const std::string& ref) {
  if (fits(field, vaultType)) return;
  const std::string head =
      "field " + std::string(toString(field)) + " does not fit " + ref + ": the vault holds ";
  switch (kindOf(vaultType)) {
    case ValueKind::password:
      throw ToolError::invalidArguments(
          head + "a password there, which only field password types (into a password input)");
    case ValueKind::otp:
      throw ToolError::invalidArguments(
          head + "a one-time-code seed there, which only field otp types (as its current code)");
    case ValueKind::plain:
      throw ToolError::invalidArguments(head + "a value of type " + *vaultType +
                                        " there (no password or one-time code), which only "
                                        "fields username and custom type");
  }
}

BrowserFillOutput BrowserFillCore::fill(const std::string& ref, FillField field,
                                        const std::optional<std::string>& selector, bool submit,
                                        const std::string& tool) const {
  // No idle stop while the call runs, approval waits included.
  const BrowserUse use = controller_->beginUse();
  (void)VarnRef::parse(ref);
  if (!controller_->isRunning()) throw BrowserError::noBrowser();
  const TypedField typed = fillLocated(ref, field, controller_->locateField(field, selector), tool);
  const bool submitted = submit && submitTyped({typed});
  return BrowserFillOutput{true, std::string(toString(field)), typed.match.frameOrigin, submitted};
}

TypedField BrowserFillCore::fillLocated(const std::string& ref, FillField field,
                                        const FieldMatch& match, const std::string& tool) const {
  if (match.count == 0) throw BrowserError::fieldNotFound(field, match.pageURL);
  // Also with a selector: which of several the value should go into is the caller's to say.
  if (match.count >= 2) throw BrowserError::ambiguousField(field, match.count);
  if (!match.element) throw BrowserError::fieldChanged("the page changed the field");

  // The decision first, so that nobody is asked to approve a fill the checks below refuse.
  const VaultResponse preview = vault_->preview(ref);
  if (preview.decision == VaultDecision::refused) throw ResolveError::refused(ref);
  checkFits(field, preview.type, ref);
  // A sandboxed document has no origin of its own to lock to, whatever its address says.
  if (match.frameOrigin == "null") throw BrowserError::opaqueOrigin(match.pageURL);
  OriginLock::check(match.frameOrigin, preview.url, preview.allowed_hosts, ref);
  if (field == FillField::password && asciiLower(match.inputType) != "password") {
    throw BrowserError::concealedFieldRequired(match.inputType);
  }

  std::string value;
  {
    // A human deciding on an approval takes no time from the browser's budget.
    const CallBudget::Pause approval;
    value = resolver_->resolveValue(ref, tool, std::nullopt);
  }
  support::WipedOnExit wipeValue(value);
  std::string code;
  support::WipedOnExit wipeCode(code);
  if (field == FillField::otp) {
    code = crypto::TOTP::code(value, crypto::TOTP::Date(std::chrono::duration<double>(clock_())));
  }
  controller_->typeInto(match, field == FillField::otp ? code : value,
                        OriginLock::binding(preview.url, preview.allowed_hosts));
  support::wipe(value);
  support::wipe(code);
  return TypedField{ref, match};
}

bool BrowserFillCore::submitTyped(const std::vector<TypedField>& typed) const {
  try {
    return controller_->submit(typed.back().match);
  } catch (const BrowserError& error) {
    // Stopped on its way out: nothing this call typed stays behind, in that form or another.
    if (error.errorCase() == BrowserError::Case::submitRefused) {
      for (const TypedField& field : typed) controller_->clearField(field.match);
    }
    throw;
  }
}

}  // namespace varn::mcp
