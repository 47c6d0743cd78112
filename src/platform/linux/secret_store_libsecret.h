#pragma once

#include <memory>

#include "support/secret_store.h"

namespace pellora {

// The Secret Service (GNOME Keyring, KWallet, KeePassXC...) through libsecret, or nullptr when no keyring
// answers on the session bus.
std::unique_ptr<SecretStore> openLibsecretStore();

// The keyring when one answers, else the file store. PELLORA_SECRET_STORE=file forces the file store.
std::unique_ptr<SecretStore> makeSecretStore();

}  // namespace pellora
