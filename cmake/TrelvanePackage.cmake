# `make package` (or `cpack -G DEB` in a build folder): one Debian package per
# role, installed below /usr:
#   trelvaned     the headless runner: trelvaned, trelvane-set, the systemd
#                 unit, the manuals of both and of the settings file, the
#                 example plug-ins. Qt Core (and the network modules it may
#                 link), no GUI library: it fits a box without a display.
#   trelvane      the desktop program with its desktop entry, MIME type, icon
#                 and manual. Depends on trelvaned of the same version, which
#                 holds the example plug-ins, the plug-in folder, trelvane-set
#                 and trelvane.set(5) that the desktop program uses too.
#   trelvane-dev  the plug-in SDK: header, CMake package, pkg-config file.
#                 Architecture-independent; recommends trelvaned, which loads
#                 what is built with it.
# Each install() rule names its package through its component (runner,
# desktop, sdk). The library dependencies come from dpkg-shlibdeps on each
# package's own programs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvane)
set(CPACK_PACKAGE_VENDOR "Trelvane developers")
set(CPACK_PACKAGE_CONTACT "Trelvane developers <trelvane@trelvane.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Builds up to 1.0.0 made one package, trelvane, that
# held the runner's and the SDK's files: the two packages take them over.
set(single_package "trelvane (<= 1.0.0)")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runner desktop sdk)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# The descriptions: the first line is the summary, the others at most 80
# characters each.
set(intro
  "Trelvane joins two communication ports, a serial line or a TCP/UDP socket\n"
  "on each side, and relays every block of bytes between them, both ways,\n"
  "through optional transfer plug-ins.\n.\n")
list(JOIN intro "" intro)

set(CPACK_DEBIAN_RUNNER_PACKAGE_NAME trelvaned)
set(CPACK_DEBIAN_RUNNER_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNNER_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNNER_PACKAGE_REPLACES ${single_package})
set(CPACK_DEBIAN_RUNNER_DESCRIPTION
  "data gateway between serial lines and sockets (headless runner)\n"
  "${intro}"
  "This package holds the headless runner trelvaned with its systemd unit\n"
  "template, the settings tool trelvane-set and example plug-ins. It needs no\n"
  "display.")
# Let systemd see the unit, stop and disable the instances on removal.
set(CPACK_DEBIAN_RUNNER_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/trelvaned/postinst
  ${PROJECT_SOURCE_DIR}/cmake/debian/trelvaned/prerm
  ${PROJECT_SOURCE_DIR}/cmake/debian/trelvaned/postrm)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME trelvane)
set(CPACK_DEBIAN_DESKTOP_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION comm)
set(CPACK_COMPONENT_DESKTOP_DEPENDS runner)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
  "data gateway between serial lines and sockets (desktop program)\n"
  "${intro}"
  "This package holds the desktop program trelvane, its menu entry and the\n"
  "file type of its settings files.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME trelvane-dev)
set(CPACK_DEBIAN_SDK_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_SDK_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SDK_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SDK_PACKAGE_RECOMMENDS "trelvaned")
set(CPACK_DEBIAN_SDK_PACKAGE_REPLACES ${single_package})
set(CPACK_DEBIAN_SDK_PACKAGE_SUGGESTS "gcc | c-compiler, cmake, pkg-config")
set(CPACK_DEBIAN_SDK_DESCRIPTION
  "data gateway between serial lines and sockets (plug-in SDK)\n"
  "${intro}"
  "This package holds what building a transfer plug-in needs: the header\n"
  "trelvane_plugin.h, a CMake package and a pkg-config file.")
foreach(component RUNNER DESKTOP SDK)
  list(JOIN CPACK_DEBIAN_${component}_DESCRIPTION "" CPACK_DEBIAN_${component}_DESCRIPTION)
endforeach()

# Every package has its copyright file and changelog in /usr/share/doc.
set(changelog ${CMAKE_BINARY_DIR}/debian/changelog)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${changelog} @ONLY)
execute_process(COMMAND gzip -9 -n -f ${changelog} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${changelog}")
endif()
foreach(pair runner:trelvaned desktop:trelvane sdk:trelvane-dev)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
include(CPack)
