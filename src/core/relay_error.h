#pragma once

#include <stdexcept>
#include <string>

namespace pellora {

// What went wrong with the relay. The description is the Turkish text the user sees.
class RelayError : public std::exception {
 public:
  enum class Kind { http, badURL };

  // The relay answered `status` with the error `code` of its JSON body ("unknown" when it had none).
  static RelayError http(int status, std::string code) { return RelayError(Kind::http, status, std::move(code)); }
  static RelayError badURL() { return RelayError(Kind::badURL, 0, {}); }

  Kind kind() const { return kind_; }
  int status() const { return status_; }
  const std::string& code() const { return code_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const RelayError& o) const { return kind_ == o.kind_ && status_ == o.status_ && code_ == o.code_; }

 private:
  RelayError(Kind kind, int status, std::string code);

  Kind kind_;
  int status_;
  std::string code_;
  std::string description_;
};

}  // namespace pellora
