#include "support/test_ca.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace pellora::test {

TestCA::TestCA(bool nameLoopbackAddress) {
  std::ofstream(folder / "ext.cnf") << "subjectAltName=DNS:localhost" << (nameLoopbackAddress ? ",IP:127.0.0.1" : "")
                                    << "\nbasicConstraints=CA:FALSE\n";
  const std::string f = folder.string();
  const std::string script =
      "cd '" + f + "' && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj '/CN=Pellora Test CA' "
      "-keyout ca.key -out ca.pem && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=localhost' "
      "-keyout server.key -out server.csr && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf "
      "-out server.pem";
  if (std::system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("openssl could not make the test certificates");
}

}  // namespace pellora::test
