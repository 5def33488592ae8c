# Manual pages: one scdoc source each in docs/man (markdown-like text), turned
# into roff at build time and installed gzipped to share/man/man<section>.
# Without scdoc the pages are skipped with a note; scripts/install-deps.sh
# installs it.
find_program(TRELVANE_SCDOC scdoc)
set(TRELVANE_MAN_PAGES trelvane.1 trelvaned.8 trelvane-set.1 trelvane.set.5)
set(TRELVANE_MAN_DIR ${CMAKE_BINARY_DIR}/man)

if(NOT TRELVANE_SCDOC)
  message(STATUS "scdoc not found: the manual pages are not built")
  return()
endif()

set(man_outputs)
foreach(page ${TRELVANE_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
  set(roff ${TRELVANE_MAN_DIR}/${page})
  add_custom_command(OUTPUT ${roff} ${roff}.gz
    COMMAND ${CMAKE_COMMAND}
      -DSCDOC=${TRELVANE_SCDOC} -DSOURCE=${source} -DOUTPUT=${roff}
      -DVERSION=${PROJECT_VERSION} -DPLUGIN_DIR=${TRELVANE_PLUGIN_INSTALL_DIR}
      -P ${PROJECT_SOURCE_DIR}/cmake/ScdocPage.cmake
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/ScdocPage.cmake
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND man_outputs ${roff} ${roff}.gz)
  string(REGEX MATCH "[0-9]$" section ${page})
  # The desktop program's page goes with it; the others with the runner.
  set(component runner)
  if(page STREQUAL "trelvane.1")
    set(component desktop)
  endif()
  install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(manpages ALL DEPENDS ${man_outputs})
