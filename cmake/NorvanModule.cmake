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
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT ARG_NO_HEADER)
    install(FILES ${ARG_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/norvan/${ARG_PACKAGE})
  endif()
  set_property(GLOBAL APPEND PROPERTY NORVAN_MODULES ${name})
endfunction()

# norvan_add_command_module(<name> SOURCES ... [PRIVATE ...])
# A command module: a module whose library registers a sub-command of the `norvan` program
# when it is loaded; it offers no interface of its own, so no header is installed. The program
# links all of them.
function(norvan_add_command_module name)
  norvan_add_module(${name} PACKAGE cli/commands NO_HEADER ${ARGN})
  set_property(GLOBAL APPEND PROPERTY NORVAN_COMMAND_MODULES norvan::${name})
endfunction()
