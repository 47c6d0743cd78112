#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pellora {

// Every decoding failure of the peer protocol. The description is the Turkish text the user sees.
class WireError : public std::exception {
 public:
  enum class Kind { tooLarge, unsupportedVersion, invalid, truncated, badMagic };

  static WireError tooLarge(std::int64_t length) { return WireError(Kind::tooLarge, length, {}); }
  static WireError unsupportedVersion(std::uint8_t version) {
    return WireError(Kind::unsupportedVersion, version, {});
  }
  static WireError invalid(std::string what) { return WireError(Kind::invalid, 0, std::move(what)); }
  static WireError truncated() { return WireError(Kind::truncated, 0, {}); }
  static WireError badMagic() { return WireError(Kind::badMagic, 0, {}); }

  Kind kind() const { return kind_; }
  // The announced length of `tooLarge`, or the version of `unsupportedVersion`.
  std::int64_t number() const { return number_; }
  // What `invalid` names ("UTF-8", "sha256", ...).
  const std::string& what_invalid() const { return text_; }

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const WireError& other) const {
    return kind_ == other.kind_ && number_ == other.number_ && text_ == other.text_;
  }

 private:
  WireError(Kind kind, std::int64_t number, std::string text);

  Kind kind_;
  std::int64_t number_;
  std::string text_;
  std::string description_;
};

}  // namespace pellora
