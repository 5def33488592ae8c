# trelvane_add_plugin(<name> [NO_INSTALL] [OUTPUT_DIRECTORY <dir>] <sources...>)
# Builds the transfer plug-in <name>.so (no "lib" prefix, only the exports
# marked with TRELVANE_PLUGIN_API visible) into TRELVANE_PLUGIN_BUILD_DIR,
# <dir> or the current binary folder, and installs it unless NO_INSTALL.
#
# It installs to TRELVANE_PLUGIN_INSTALL_DIR when that is set (inside the
# Trelvane tree: relative to the install prefix), else to TRELVANE_PLUGIN_DIR,
# which find_package(Trelvane) sets: /usr/local/lib/trelvane/plugins for an
# SDK installed below /usr (the administrator's folder, searched before the
# packaged one), else the installation's plug-in folder.
# Outside the Trelvane tree, use find_package(Trelvane) rather than including
# this file.
include_guard(GLOBAL)

function(trelvane_add_plugin name)
  cmake_parse_arguments(P "NO_INSTALL" "OUTPUT_DIRECTORY" "" ${ARGN})
  if(NOT TARGET Trelvane::sdk)
    message(FATAL_ERROR "trelvane_add_plugin: no Trelvane::sdk target; call find_package(Trelvane) first")
  endif()
  if(NOT P_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${TRELVANE_PLUGIN_BUILD_DIR})
  endif()
  if(NOT P_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  add_library(${name} MODULE ${P_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE Trelvane::sdk)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    AUTOMOC OFF
    LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY})
  if(NOT P_NO_INSTALL)
    set(dest ${TRELVANE_PLUGIN_INSTALL_DIR})
    if(NOT dest)
      set(dest ${TRELVANE_PLUGIN_DIR})
    endif()
    install(TARGETS ${name} LIBRARY DESTINATION ${dest})
    set_property(GLOBAL APPEND PROPERTY TRELVANE_INSTALLED_PLUGINS ${name})
  endif()
endfunction()
