# CPack: for Debian 12 (preset deb) the packages velmark-tervox (the tools),
# libtrellan1 (the shared library) and libtrellan-dev (its header, .so link,
# archive, pkg-config file, the CMake package and the checker's sources), one
# per install component; a .zip of the Windows cross-build (preset windows)
# with all three. scripts/package.sh makes them into build/package/.
set(CPACK_PACKAGE_NAME ${VELMARK_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "the Velmark developers")
set(VELMARK_PACKAGE_MAINTAINER "Velmark developers <velmark-tervox@example.org>"
  CACHE STRING "Maintainer named in the .deb and its changelog")
set(CPACK_PACKAGE_CONTACT ${VELMARK_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools libraries development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${VELMARK_PACKAGE_NAME})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
# The first line of each description is its summary.
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "\
firmware image checksum tables and ring dump to pcap conversion
Velmark adds a checksum info table to a firmware image held in an S-record
or Intel HEX file, and Velcheck checks an image against its table. Tervox
converts a ring dump file of millisecond-stamped Ethernet frames into a pcap
capture.")

# The shared library, named for its SONAME. Its shlibs file tells dependents'
# dpkg-shlibdeps which package and version they need; the tools' own run finds
# it beside the built library, whose build folder stands for the package's
# build tree (dpkg-shlibdeps looks for DEBIAN/shlibs above the library).
set(VELMARK_LIBRARY_PACKAGE_NAME libtrellan${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_NAME ${VELMARK_LIBRARY_PACKAGE_NAME})
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARIES_DESCRIPTION "\
firmware data library used by Velmark
libtrellan loads firmware images from Motorola S-record and Intel HEX files
and raw read-backs, edits them and saves them again, and computes the CRC-16
of the checksum info table. Programs in any language that can call C load
it; Velmark and Velcheck are built on it.")
if(NOT WIN32)
  file(WRITE ${PROJECT_BINARY_DIR}/DEBIAN/shlibs
    "libtrellan ${PROJECT_VERSION_MAJOR} ${VELMARK_LIBRARY_PACKAGE_NAME} (>= ${PROJECT_VERSION})\n")
  file(WRITE ${PROJECT_BINARY_DIR}/DEBIAN/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_LIBRARIES_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/DEBIAN/shlibs ${PROJECT_BINARY_DIR}/DEBIAN/triggers)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
  # Multi-Arch: same for both library packages, added afterwards.
  set(CPACK_VELMARK_MULTI_ARCH_PACKAGES ${VELMARK_LIBRARY_PACKAGE_NAME} libtrellan-dev)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/finish_packages.cmake)
  # dpkg-buildflags' fortification is on (__memmove_chk); lintian's info tag
  # only means no other call has a size known when compiling.
  install(FILES cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    RENAME ${VELMARK_LIBRARY_PACKAGE_NAME} COMPONENT libraries)
endif()

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtrellan-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# It was velmark-tervox-dev before the library had packages of its own.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_CONFLICTS ${VELMARK_PACKAGE_NAME}-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_REPLACES ${VELMARK_PACKAGE_NAME}-dev)
# The .so link needs the library; its CMake package names the tools, which
# another package holds; a static link of libtrellan needs libacl's
# development files on Linux, and the C++ runtime's, which a C compiler alone
# does not bring.
set(VELMARK_EXACT_VERSION "(= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${VELMARK_LIBRARY_PACKAGE_NAME} ${VELMARK_EXACT_VERSION}, \
${VELMARK_PACKAGE_NAME} ${VELMARK_EXACT_VERSION}, libacl1-dev")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  string(REGEX MATCH "^[0-9]+" gxxMajor "${CMAKE_CXX_COMPILER_VERSION}")
  string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", libstdc++-${gxxMajor}-dev | libstdc++-dev")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "\
development files of libtrellan and the firmware-side checker for Velmark
libtrellan's header, the link to the shared library and the static library,
with its pkg-config file; the C99 sources of the firmware-side checksum info
table checker; and the CMake package VelmarkTervox, which gives the tools,
the library and the checker to a firmware build, cross-compiled or not.")

# Debian wants a changelog beside each package's copyright file; its entry
# follows the project's version, dated by SOURCE_DATE_EPOCH where that is set.
if(NOT WIN32)
  string(TIMESTAMP VELMARK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/debian/changelog.in debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nc debian/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${VELMARK_DOC_DIR}
    COMPONENT tools)
  foreach(component libraries development)
    string(TOUPPER "${component}" upper)
    install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz cmake/debian/copyright
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
      COMPONENT ${component})
  endforeach()
endif()

include(CPack)
