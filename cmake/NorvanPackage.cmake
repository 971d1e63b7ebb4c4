# Debian packages (`make deb`), made by CPack from the install components:
#   libnorvan0     libraries                the shared library libnorvan.so.0 (the package's name
#                                           follows its SONAME)
#   libnorvan-dev  development              headers, .so links, CMake package and pkg-config files
#   norvan         program                  the program, its man pages and shell completions
#   python3-norvan python                   the Python package norvan (when it is built)
# Runtime dependencies are computed by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "norvan developers <norvan-developers@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "signing toolkit: keys, certificates, S/MIME signing and verification")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libraries development program)
if(NORVAN_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS libraries)
set(CPACK_COMPONENT_PROGRAM_DEPENDS libraries)
set(CPACK_COMPONENT_PYTHON_DEPENDS libraries)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The program and the Python extension need the library that libnorvan0 ships; dpkg-shlibdeps
# does not look into another package's staging tree, so it finds it in the build tree (the
# dependency on libnorvan0 itself comes from the component dependency below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_LIBRARIES_PACKAGE_NAME libnorvan0)
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_SECTION libs)
# libnorvan opens GMime with dlopen when it first reads a message that needs it, so
# dpkg-shlibdeps does not see it; the computed dependencies are added to this one.
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_DEPENDS "libgmime-3.0-0")
# libp11 is opened the same way, only for keys in PKCS#11 tokens, which not every user has.
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_RECOMMENDS "libp11-3")
# ldconfig runs through a trigger; the (empty) maintainer scripts keep CPack from writing its own
# that call ldconfig directly.
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/libnorvan0/triggers
  ${PROJECT_SOURCE_DIR}/packaging/debian/libnorvan0/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/libnorvan0/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_LIBRARIES_DESCRIPTION
  "signing toolkit (shared library)\n The norvan library creates signing keys and certificates, signs payloads\n into S/MIME clear-signed messages and verifies them, and converts Python\n project files.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libnorvan-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libssl-dev, libcli11-dev, libtoml11-dev, libtsl-ordered-map-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "signing toolkit (development files)\n Headers, CMake package and pkg-config files of the norvan library.")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME norvan)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
  "signing toolkit (command-line program)\n The norvan program creates signing keys and certificates, signs payloads into\n S/MIME clear-signed messages and verifies them.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-norvan)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
if(NORVAN_BUILD_PYTHON)
  # The extension is built for this interpreter's version only.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${NORVAN_PYTHON_VERSION}~), python3 (<< ${NORVAN_PYTHON_VERSION}.99~)")
endif()
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "signing toolkit (Python package)\n The Python package norvan offers the norvan library to Python programs such\n as nox build scripts: keys, certificates, S/MIME signing and verification,\n and the build tooling.")

# Every package carries its copyright file and changelog, as Debian policy asks.
set(norvan_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${norvan_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${norvan_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(norvan_package_docs ALL DEPENDS ${norvan_changelog})
set(norvan_packages libraries=libnorvan0 development=libnorvan-dev program=norvan)
if(NORVAN_BUILD_PYTHON)
  list(APPEND norvan_packages python=python3-norvan)
endif()
foreach(component_and_package ${norvan_packages})
  string(REPLACE "=" ";" component_and_package ${component_and_package})
  list(GET component_and_package 0 component)
  list(GET component_and_package 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${norvan_changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
