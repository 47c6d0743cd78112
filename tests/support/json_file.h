#pragma once

// Reading the JSON files our executables write (status and statistics), for process tests and benchmarks.

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace pellora::test {

// The whole file; empty when it cannot be read.
inline std::string readTextFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The file's JSON document; nothing while it is missing or not (yet) valid JSON.
inline std::optional<boost::json::value> readJSONFile(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  boost::system::error_code ec;
  auto value = boost::json::parse(readTextFile(path), ec);
  if (ec) return std::nullopt;
  return value;
}

}  // namespace pellora::test
