# `make package` (or `cpack -G DEB` in a build folder): one Debian package
# with the programs, the example plug-ins, the SDK (header, CMake package,
# pkg-config file), desktop entry, MIME type, icon, systemd unit and manuals,
# installed below /usr. The folders are those of the build (GNUInstallDirs),
# so the plug-in folder in the package is the one the programs search.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvane)
set(CPACK_PACKAGE_VENDOR "Trelvane developers")
set(CPACK_PACKAGE_CONTACT "Trelvane developers <trelvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data gateway between serial lines and TCP/UDP sockets")
set(CPACK_PACKAGE_DESCRIPTION
  "Trelvane joins two communication ports, a serial line or a TCP/UDP socket on each side, "
  "and relays every block of bytes between them, both ways, through optional transfer "
  "plug-ins. The package holds the desktop program trelvane, the headless runner trelvaned "
  "with its systemd unit, the settings tool trelvane-set, example plug-ins and the plug-in SDK.")
list(JOIN CPACK_PACKAGE_DESCRIPTION "" CPACK_PACKAGE_DESCRIPTION)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gcc | c-compiler, cmake, pkg-config")
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
# Let systemd see the new unit, as debhelper's scripts do.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
  ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
