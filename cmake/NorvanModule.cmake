# Where command modules live, relative to the library directory (and, in the build tree, to
# the directory of libnorvan_cli).
set(NORVAN_COMMAND_MODULE_DIR norvan/commands)

# norvan_add_module(<name> PACKAGE <dir> SOURCES ... [PUBLIC ...] [PRIVATE ...])
# Builds one module as its own shared library, target norvan::<name>, file libnorvan_<name>.so,
# and installs it with its public header norvan/<dir>/<name>.hpp.
function(norvan_add_module name)
  cmake_parse_arguments(ARG "NO_HEADER" "PACKAGE" "SOURCES;HEADERS;PUBLIC;PRIVATE" ${ARGN})
  set(target norvan_${name})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(norvan::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    OUTPUT_NAME norvan_${name}
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  if(NOT ARG_HEADERS)
    set(ARG_HEADERS ${name}.hpp)
  endif()
  install(TARGETS ${target} EXPORT norvanTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libraries NAMELINK_COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libraries)
  if(NOT ARG_NO_HEADER)
    install(FILES ${ARG_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/norvan/${ARG_PACKAGE} COMPONENT development)
  endif()
  set_property(GLOBAL APPEND PROPERTY NORVAN_MODULES ${name})
endfunction()

# norvan_add_command_module(<name> SOURCES ... [PRIVATE ...])
# A command module: a loadable module (its own shared object) whose static initialiser
# registers the sub-command <name> of the `norvan` program. Nothing links it: the program
# loads it when that command runs (and all of them for the command list, help and
# completion), from norvan/commands next to the library that holds the command registry
# (libnorvan_cli), in the build tree as in the installed one. It offers no interface, so no
# header is installed and it is not part of the exported package.
function(norvan_add_command_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PRIVATE" ${ARGN})
  set(target norvan_${name})
  add_library(${target} MODULE ${ARG_SOURCES})
  add_library(norvan::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME norvan_${name}
    LIBRARY_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:norvan_cli>/${NORVAN_COMMAND_MODULE_DIR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_link_libraries(${target} PRIVATE norvan::cli ${ARG_PRIVATE})
  if(NORVAN_INSTALL_RPATH)
    # From <libdir>/norvan/commands back to <libdir>, where the modules it uses are.
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${NORVAN_COMMAND_MODULE_DIR} COMPONENT program)
  set_property(GLOBAL APPEND PROPERTY NORVAN_COMMAND_MODULES ${name})
endfunction()
