#pragma once

// A throwaway certificate authority and a server certificate for "localhost" (and 127.0.0.1 unless told
// otherwise) that it signed, made with the openssl command in a temporary folder of its own.

#include <filesystem>

#include "support/temp_dir.h"

namespace pellora::test {

struct TestCA {
  explicit TestCA(bool nameLoopbackAddress = true);
  TempDir temp{"pellora-ca"};
  std::filesystem::path folder = temp.path;
  std::filesystem::path caCertificate = folder / "ca.pem";          // PEM: trust this to accept the server
  std::filesystem::path serverCertificate = folder / "server.pem";  // PEM chain for the server
  std::filesystem::path serverKey = folder / "server.key";          // PEM private key
};

}  // namespace pellora::test
