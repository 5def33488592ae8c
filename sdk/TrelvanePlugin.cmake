# trelvane_add_plugin(<name> [NO_INSTALL] [OUTPUT_DIRECTORY <dir>] <sources...>)
# Builds the transfer plug-in <name>.so (no "lib" prefix, only the exports
# marked with TRELVANE_PLUGIN_API visible) into TRELVANE_PLUGIN_BUILD_DIR or
# <dir>, and installs it to TRELVANE_PLUGIN_INSTALL_DIR unless NO_INSTALL.
#
# Outside the Trelvane tree: include() this file from its installed place
# (share/trelvane/cmake); it finds trelvane_plugin.h next to it or in the
# installed include/trelvane folder, and builds into the current binary folder.
include_guard(GLOBAL)

if(NOT TARGET Trelvane::sdk)
  find_path(TRELVANE_SDK_INCLUDE_DIR trelvane_plugin.h
    HINTS ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/../../../include/trelvane
    REQUIRED)
endif()

function(trelvane_add_plugin name)
  cmake_parse_arguments(P "NO_INSTALL" "OUTPUT_DIRECTORY" "" ${ARGN})
  if(NOT P_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${TRELVANE_PLUGIN_BUILD_DIR})
  endif()
  if(NOT P_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  add_library(${name} MODULE ${P_UNPARSED_ARGUMENTS})
  if(TARGET Trelvane::sdk)
    target_link_libraries(${name} PRIVATE Trelvane::sdk)
  else()
    target_include_directories(${name} PRIVATE ${TRELVANE_SDK_INCLUDE_DIR})
  endif()
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
      set(dest lib/trelvane/plugins)
    endif()
    install(TARGETS ${name} LIBRARY DESTINATION ${dest})
  endif()
endfunction()
