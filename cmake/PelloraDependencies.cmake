# Every third-party library comes from Debian's packages (scripts/install-deps.sh); nothing is vendored.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json url program_options)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

if(PELLORA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(PELLORA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
# The relay cluster's shared store: Redis through hiredis.
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
# LAN announcement and discovery through the system's mDNS daemon.
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)

# Host media: libyuv (no pkg-config file in Debian), FFmpeg for H.264, TurboJPEG, the XCB extensions.
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(Libyuv::libyuv UNKNOWN IMPORTED)
set_target_properties(Libyuv::libyuv PROPERTIES IMPORTED_LOCATION ${LIBYUV_LIBRARY})
target_include_directories(Libyuv::libyuv SYSTEM INTERFACE ${LIBYUV_INCLUDE_DIR})
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavutil)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-damage xcb-xfixes xcb-randr xcb-xtest
  xcb-screensaver)

# Desktop app: Qt 6 widgets (the session bus for the file manager), SVG icons, the desktop's event sounds.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Svg DBus Test)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
