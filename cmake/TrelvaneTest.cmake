# trelvane_add_test(NAME <name> SOURCES <files...> LIBS <targets...>
#                   [LABELS <labels...>] [TIMEOUT <seconds>])
# Builds one Qt Test executable and registers it with CTest, with the
# offscreen platform and a private runtime and config folder per test.
function(trelvane_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
  # A unity build includes the test's source into another file, where GCC
  # takes its class for one of a header and warns of members whose types
  # are local to the source.
  if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${T_NAME} PRIVATE -Wno-subobject-linkage)
  endif()
  target_compile_definitions(${T_NAME} PRIVATE
    TRELVANE_PLUGIN_BUILD_DIR="${TRELVANE_PLUGIN_BUILD_DIR}"
    TRELVANE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(home ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}.home)
  file(MAKE_DIRECTORY ${home}/runtime ${home}/config)
  file(CHMOD ${home}/runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(labels unit)
  if(T_LABELS)
    set(labels ${T_LABELS})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${labels}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${home}/runtime;XDG_CONFIG_HOME=${home}/config;ASAN_OPTIONS=detect_leaks=0")
endfunction()
