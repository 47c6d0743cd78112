#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace pellora {

bool writeFileAtomically(const std::filesystem::path& path, const std::string& content, mode_t mode) {
  std::error_code ec;
  if (path.has_parent_path() && !std::filesystem::exists(path.parent_path(), ec)) {
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return false;
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all, ec);
  }
  std::string temp = path.string() + ".XXXXXX";
  int fd = mkstemp(temp.data());  // created 0600, never an existing file
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t written = 0; ok && written < content.size();) {
    ssize_t n = write(fd, content.data() + written, content.size() - written);
    ok = n > 0;
    if (ok) written += static_cast<std::size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace pellora
