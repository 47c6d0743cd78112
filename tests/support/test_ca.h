#pragma once

// A throwaway certificate authority and a server certificate for "localhost" (and 127.0.0.1 unless told
// otherwise) that it signed, made with the openssl command in a temporary folder (removed again by the
// destructor).

#include <filesystem>

namespace pellora::test {

struct TestCA {
  explicit TestCA(bool nameLoopbackAddress = true);
  ~TestCA();
  std::filesystem::path folder;
  std::filesystem::path caCertificate;      // PEM: trust this to accept the server
  std::filesystem::path serverCertificate;  // PEM chain for the server
  std::filesystem::path serverKey;          // PEM private key
};

}  // namespace pellora::test
