# Third-party libraries, all from Debian packages (scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
pkg_check_modules(FUSE3 REQUIRED IMPORTED_TARGET fuse3)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
# sd-bus and sd_notify: the domain under the user's service manager.
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
# The stand-in service's bucket back end reads the store's XML listings.
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
# Thumbnails from the head of a photo: its EXIF JPEG decoded, a PNG written.
pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
find_package(simdjson REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(OpenSSL REQUIRED)

if(LUMORA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  # cpp-httplib: Debian ships it as a compiled library with a pkg-config file.
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
if(LUMORA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
find_package(Qt6 REQUIRED COMPONENTS Core Network)
if(LUMORA_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Gui Svg Test)
endif()
