#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pellora {

// A failure of the Opus codec library. Only creating an encoder or decoder throws it; a packet that fails
// to encode or decode is simply lost.
class OpusError : public std::exception {
 public:
  enum class Kind { converter };

  // `status` is the library's error code (negative).
  static OpusError converter(std::int32_t status) { return OpusError(Kind::converter, status); }

  Kind kind() const { return kind_; }
  std::int32_t status() const { return status_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const OpusError& o) const { return kind_ == o.kind_ && status_ == o.status_; }

 private:
  OpusError(Kind kind, std::int32_t status);

  Kind kind_;
  std::int32_t status_;
  std::string description_;
};

}  // namespace pellora
