# Every third-party library comes from Debian's packages (scripts/install-deps.sh); nothing is vendored.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json url)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

if(PELLORA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(PELLORA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
