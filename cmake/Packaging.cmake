# The Debian package: `cpack -G DEB` in a build folder (after building it)
# makes lumora_<version>_<arch>.deb, installing to /usr. The shared-library
# dependencies come from dpkg-shlibdeps; fuse3 brings fusermount3, which the
# daemon mounts with.
set(CPACK_PACKAGE_NAME "lumora")
set(CPACK_PACKAGE_VENDOR "Lumora")
set(CPACK_PACKAGE_CONTACT "Lumora <support@lumora.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Cloud backing for your computer: desktop client")
set(CPACK_PACKAGE_DESCRIPTION
  "Signs you in to the Lumora service and shows your cloud files read-only at ~/Lumora,\ndownloaded when you open them.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# GNOME Files loads the extension that offers keep and free through it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-nautilus")
set(CPACK_STRIP_FILES ON)
# The daemon's user units: reloaded after an upgrade, stopped and disabled
# before a removal (see those scripts).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/daemon/debian/postinst;${PROJECT_SOURCE_DIR}/daemon/debian/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Only what the product installs: a packaging build need not build the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
