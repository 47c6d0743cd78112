#pragma once

#include <stdexcept>
#include <string>

namespace pellora {

// Why an outgoing file transfer ended early. The description is the Turkish text the user sees.
class TransferError : public std::exception {
 public:
  enum class Kind { rejected, cancelled, timeout, tooLarge };

  static TransferError rejected(std::string reason) { return TransferError(Kind::rejected, std::move(reason)); }
  static TransferError cancelled(std::string reason) { return TransferError(Kind::cancelled, std::move(reason)); }
  static TransferError timeout() { return TransferError(Kind::timeout, {}); }
  static TransferError tooLarge() { return TransferError(Kind::tooLarge, {}); }

  Kind kind() const { return kind_; }
  const std::string& reason() const { return reason_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const TransferError& o) const { return kind_ == o.kind_ && reason_ == o.reason_; }

 private:
  TransferError(Kind kind, std::string reason);

  Kind kind_;
  std::string reason_;
  std::string description_;
};

}  // namespace pellora
