// A host application of libVarnCrypto and libVarnAPIClient as installed: it creates and unlocks a
// vault, encrypts and decrypts an item, carries the key entries through their JSON form, and makes
// one sync-server call to a loopback port that refuses connections, which must fail as a
// transport error. Exits 0 when all of that holds; otherwise 1, naming the step on stderr.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/VarnAPIClient.hpp"
#include "crypto/vault/VaultCrypto.hpp"

namespace {

using namespace varn;

int fail(std::string_view step) {
  std::fprintf(stderr, "varn-host: %.*s\n", static_cast<int>(step.size()), step.data());
  return 1;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A loopback port held bound but not listening for the life of the process: every connection to
// it is refused.
int refusingPort() {
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (holder < 0 || bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  return ntohs(address.sin_port);
}

int vaultRoundTrip() {
  constexpr std::string_view kPassphrase = "correct horse battery staple";
  const crypto::NewVault created = crypto::VaultCrypto::createVault(kPassphrase, false);

  // What a host stores and reads back: the key entries as JSON text.
  std::vector<crypto::WrappedKey> stored;
  for (const crypto::WrappedKey& key : created.wrappedKeys) {
    const std::string text = support::dumpCompact(support::encodeRecord(key));
    stored.push_back(support::decodeRecordText<crypto::WrappedKey>(text));
  }
  if (stored != created.wrappedKeys) return fail("the key entries changed through JSON");

  crypto::VaultCrypto vault;
  vault.unlock(stored, created.wrappedAccountPrivKeys,
               crypto::UnlockInput::passphrase(kPassphrase));
  if (!vault.isUnlocked()) return fail("the vault did not unlock");

  const crypto::SecretBytes collectionKey = vault.newCollectionKey();
  const support::Uuid itemID = support::Uuid::random();
  constexpr std::string_view kBody = R"({"title":"host item"})";
  const crypto::EncryptedItem item = vault.encryptItem(bytesOf(kBody), itemID, collectionKey);
  const crypto::SecretBytes opened =
      vault.decryptItem(item.blob, itemID, item.wrappedItemKey, collectionKey);
  if (!std::ranges::equal(opened.span(), bytesOf(kBody))) return fail("the item did not decrypt");
  vault.lock();
  return 0;
}

int transportFailure() {
  const int port = refusingPort();
  if (port < 0) return fail("no loopback port");
  api::VarnAPIClient client("http://127.0.0.1:" + std::to_string(port),
                            std::make_shared<api::CurlHttpSession>());
  try {
    client.logout();
  } catch (const api::APIError& error) {
    if (error.errorCase() == api::APIError::Case::transport && error.status() == -1) return 0;
    return fail(std::string("the call failed otherwise: ") + error.what());
  }
  return fail("a call to a closed port succeeded");
}

}  // namespace

int main() {
  try {
    if (vaultRoundTrip() != 0 || transportFailure() != 0) return 1;
  } catch (const std::exception& error) {
    return fail(std::string("unexpected error: ") + error.what());
  }
  std::puts("varn-host: vault unlocked, item decrypted, closed port reported as a transport error");
  return 0;
}
