#pragma once

#include <stdexcept>
#include <string>

namespace pellora {

// Failures of a connection, and of local resources a session cannot start (screen capture, video encoder).
// The description is the Turkish text the user sees.
class TransportError : public std::exception {
 public:
  enum class Kind { connectFailed, closed };

  // `detail` is the platform's or library's own description of the failure.
  static TransportError connectFailed(std::string detail) {
    return TransportError(Kind::connectFailed, std::move(detail));
  }
  static TransportError closed() { return TransportError(Kind::closed, {}); }

  Kind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const TransportError& o) const { return kind_ == o.kind_ && detail_ == o.detail_; }

 private:
  TransportError(Kind kind, std::string detail)
      : kind_(kind),
        detail_(std::move(detail)),
        description_(kind_ == Kind::closed ? "Bağlantı kapandı" : "Bağlanılamadı: " + detail_) {}

  Kind kind_;
  std::string detail_;
  std::string description_;
};

}  // namespace pellora
