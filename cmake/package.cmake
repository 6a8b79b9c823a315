# CPack: a .deb for Debian 12 (preset deb) and a .zip of the Windows
# cross-build (preset windows), both from the install rules. scripts/package.sh
# makes both into build/package/.
set(CPACK_PACKAGE_NAME ${VELMARK_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "the Velmark developers")
set(VELMARK_PACKAGE_MAINTAINER "Velmark developers <velmark-tervox@example.org>"
  CACHE STRING "Maintainer named in the .deb and its changelog")
set(CPACK_PACKAGE_CONTACT ${VELMARK_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware image checksum tables and ring dump to pcap conversion")
set(CPACK_PACKAGE_DESCRIPTION "\
Velmark adds a checksum info table to a firmware image held in an S-record
file, and Velcheck checks an image against its table. Tervox converts a ring
dump file of millisecond-stamped Ethernet frames into a pcap capture.
.
Also included: libtrellan, the static S-record library Velmark is built on,
with its header, and the C99 sources of the firmware-side table checker.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Debian wants a changelog beside the copyright file; its entry follows the
# project's version, dated by SOURCE_DATE_EPOCH where that is set.
if(NOT WIN32)
  string(TIMESTAMP VELMARK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/debian/changelog.in debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nc debian/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${VELMARK_DOC_DIR})
endif()

include(CPack)
