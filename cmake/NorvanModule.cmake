# One library, libnorvan, holds every module. Each source is compiled once, into the object
# library norvan_objects (position-independent, hidden visibility: only what the public headers
# declare between NORVAN_PUBLIC_BEGIN and NORVAN_PUBLIC_END is exported, see
# norvan/common/export.hpp). From those objects come:
#   norvan         the shared library libnorvan.so.0 (CMake norvan::norvan), which the program,
#                  the Python extension and installed consumers link;
#   norvan_static  a static library of the same objects for the test programs, which also
#                  test the modules' internal (detail) functions that libnorvan does not export.
# Each module keeps its target norvan::<module>, an interface target that links norvan::norvan,
# so that consumers written against the earlier one-library-per-module layout still build.

add_library(norvan_objects OBJECT)
add_library(norvan SHARED $<TARGET_OBJECTS:norvan_objects>)
add_library(norvan::norvan ALIAS norvan)
add_library(norvan_static STATIC $<TARGET_OBJECTS:norvan_objects>)
set_target_properties(norvan_objects PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
set_target_properties(norvan PROPERTIES
  EXPORT_NAME norvan
  OUTPUT_NAME norvan
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
# Built only for what links it (the tests), not by `make all`.
set_target_properties(norvan_static PROPERTIES
  EXCLUDE_FROM_ALL TRUE
  OUTPUT_NAME norvan_static
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
foreach(target norvan_objects norvan norvan_static)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
endforeach()
# Nothing undefined is left for the program or the Python extension to provide. (Sanitizer
# builds leave the sanitizers' run-time to the program.)
if(NOT NORVAN_SANITIZE)
  target_link_options(norvan PRIVATE LINKER:--no-undefined)
endif()
install(TARGETS norvan EXPORT norvanTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libraries NAMELINK_COMPONENT development)

# norvan_link_dependencies(PUBLIC|PRIVATE <dependency>...)
# Adds what the library's sources need to all three targets; the modules' own targets
# (norvan::<module>) are left out, since they are this library.
function(norvan_link_dependencies scope)
  set(dependencies ${ARGN})
  list(FILTER dependencies EXCLUDE REGEX "^norvan::")
  if(dependencies)
    foreach(target norvan_objects norvan norvan_static)
      target_link_libraries(${target} ${scope} ${dependencies})
    endforeach()
  endif()
endfunction()

# norvan_add_module(<name> PACKAGE <dir> SOURCES ... [HEADERS ...] [NO_HEADER] [PUBLIC ...] [PRIVATE ...])
# Adds one module's sources (relative to the calling folder) to libnorvan, the libraries they
# need to its link, and installs its public header norvan/<dir>/<name>.hpp (or HEADERS). The
# target norvan::<name> links libnorvan.
function(norvan_add_module name)
  cmake_parse_arguments(ARG "NO_HEADER" "PACKAGE" "SOURCES;HEADERS;PUBLIC;PRIVATE" ${ARGN})
  target_sources(norvan_objects PRIVATE ${ARG_SOURCES})
  norvan_link_dependencies(PUBLIC ${ARG_PUBLIC})
  norvan_link_dependencies(PRIVATE ${ARG_PRIVATE})
  set(target norvan_${name})
  add_library(${target} INTERFACE)
  add_library(norvan::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  target_link_libraries(${target} INTERFACE norvan)
  install(TARGETS ${target} EXPORT norvanTargets)
  if(NOT ARG_HEADERS)
    set(ARG_HEADERS ${name}.hpp)
  endif()
  if(NOT ARG_NO_HEADER)
    install(FILES ${ARG_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/norvan/${ARG_PACKAGE} COMPONENT development)
  endif()
  set_property(GLOBAL APPEND PROPERTY NORVAN_MODULES ${name})
endfunction()

# norvan_add_command(<name> SOURCES ... [PRIVATE ...])
# The sub-command <name> of the `norvan` program: its sources are compiled into the program
# (target norvan_program), whose object files always keep them, so the registration object at
# namespace scope in each (NORVAN_CLI_COMMAND) adds the sub-command before main runs. PRIVATE
# names further libraries the command needs beyond libnorvan.
function(norvan_add_command name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PRIVATE" ${ARGN})
  target_sources(norvan_program PRIVATE ${ARG_SOURCES})
  set(dependencies ${ARG_PRIVATE})
  list(FILTER dependencies EXCLUDE REGEX "^norvan::")
  if(dependencies)
    target_link_libraries(norvan_program PRIVATE ${dependencies})
  endif()
  set_property(GLOBAL APPEND PROPERTY NORVAN_COMMANDS ${name})
endfunction()
