# CPack: for Debian 12 (preset deb) the packages velmark-tervox (the tools) and
# velmark-tervox-dev (libtrellan, the CMake package, the checker's sources),
# one per install component; a .zip of the Windows cross-build (preset
# windows) with both. scripts/package.sh makes them into build/package/.
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
set(CPACK_COMPONENTS_ALL tools development)
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

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${VELMARK_PACKAGE_NAME}-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# Its CMake package names the tools, which the other package holds; a static
# link of libtrellan needs libacl's development files on Linux, and the C++
# runtime's, which a C compiler alone does not bring.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${VELMARK_PACKAGE_NAME} (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), libacl1-dev")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  string(REGEX MATCH "^[0-9]+" gxxMajor "${CMAKE_CXX_COMPILER_VERSION}")
  string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", libstdc++-${gxxMajor}-dev | libstdc++-dev")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "\
firmware data library and firmware-side checker for Velmark
libtrellan, the static library Velmark is built on (loading, editing and
saving firmware images, CRC-16), with its header and pkg-config file; the C99
sources of the firmware-side checksum info table checker; and the CMake
package VelmarkTervox, which gives the tools, the library and the checker to
a firmware build, cross-compiled or not.")

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
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz cmake/debian/copyright
    DESTINATION ${VELMARK_DOC_DIR}-dev COMPONENT development)
endif()

include(CPack)
