#pragma once

#include <stdexcept>
#include <string>

namespace pellora {

// A failure reported by the crypto library: an invalid peer key (with OpenSSL's own text) or a record
// whose authentication tag does not match. Its description propagates unchanged to the user.
class CryptoError : public std::exception {
 public:
  enum class Kind { authenticationFailure, library };

  static CryptoError authenticationFailure() { return CryptoError(Kind::authenticationFailure, "authenticationFailure"); }
  // The library's error text, taken from (and clearing) OpenSSL's error queue; `what` names the operation
  // when the queue is empty.
  static CryptoError fromLibrary(const char* what);

  Kind kind() const { return kind_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const CryptoError& o) const { return kind_ == o.kind_ && description_ == o.description_; }

 private:
  CryptoError(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}

  Kind kind_;
  std::string description_;
};

}  // namespace pellora
