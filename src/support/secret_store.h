#pragma once

// Where secrets live: items addressed by service and account, holding text. The Secret Service (a desktop
// keyring, through libsecret) when one answers, else a file readable only by the user.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pellora {

class SecretStore {
 public:
  virtual ~SecretStore() = default;
  virtual std::optional<std::string> load(const std::string& service, const std::string& account) = 0;
  // Replaces the item's value. Returns false when the store could not be written.
  virtual bool save(const std::string& service, const std::string& account, const std::string& value) = 0;
  virtual void remove(const std::string& service, const std::string& account) = 0;
  // Every item of `service`, whatever its account.
  virtual void removeAll(const std::string& service) = 0;
};

// A JSON file (mode 0600, in a 0700 folder), rewritten atomically on every change. Thread-safe.
class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path path = defaultPath());
  static std::filesystem::path defaultPath();  // $XDG_DATA_HOME/pellora/secrets.json

  std::optional<std::string> load(const std::string& service, const std::string& account) override;
  bool save(const std::string& service, const std::string& account, const std::string& value) override;
  void remove(const std::string& service, const std::string& account) override;
  void removeAll(const std::string& service) override;

 private:
  std::filesystem::path path_;
  std::mutex mutex_;
};

}  // namespace pellora
