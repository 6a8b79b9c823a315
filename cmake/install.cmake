# What `cmake --install` puts where, in two components: `tools` (the three
# programs, their manual pages, the README and docs/) and `development` (libtrellan with
# its header, its pkg-config file, the CMake package, and the firmware-side
# checker's sources to compile into a firmware build). Debian gets one package
# of each; the Windows zip holds both. Test and fuzz binaries stay in the build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(VELMARK_PACKAGE_NAME velmark-tervox)
set(VELMARK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${VELMARK_PACKAGE_NAME})
set(VELMARK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelmarkTervox)

install(TARGETS Velmark Velcheck EXPORT VelmarkTervoxTargets COMPONENT tools)
if(TARGET Tervox)
  install(TARGETS Tervox EXPORT VelmarkTervoxTargets COMPONENT tools)
  # Our wpcap.dll (scripts/windows-libpcap.sh) goes beside Tervox.exe, so that it
  # runs without Npcap, and libpcap's licence, which its binaries must carry,
  # with it. The Npcap SDK has no DLL; then Npcap provides it.
  if(WIN32 AND EXISTS ${PCAP_ROOT}/bin/wpcap.dll)
    install(FILES ${PCAP_ROOT}/bin/wpcap.dll ${PCAP_ROOT}/bin/libpcap-LICENSE.txt TYPE BIN COMPONENT tools)
  endif()
endif()

install(TARGETS trellan EXPORT VelmarkTervoxTargets ARCHIVE COMPONENT development)
install(FILES Host/Source/libtrellan/trellan.h TYPE INCLUDE COMPONENT development)
install(FILES
  Target/Source/checksum-info-table/checksum_info_table.h
  Target/Source/checksum-info-table/checksum_info_table.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/${VELMARK_PACKAGE_NAME}/checksum-info-table
  COMPONENT development)
install(FILES README.md cmake/debian/copyright DESTINATION ${VELMARK_DOC_DIR} COMPONENT tools)
# The README links into docs/, so the pages keep that folder beside it.
install(DIRECTORY docs/ DESTINATION ${VELMARK_DOC_DIR}/docs COMPONENT tools FILES_MATCHING PATTERN "*.md")

# The CMake package: found relative to its own folder, so the install may move.
# Architecture-independent version check: a cross-compiling firmware build
# (32-bit target, 64-bit host) uses the tools and the checker's sources, never
# the host library.
install(FILES cmake/package/VelmarkTervoxFirmware.cmake DESTINATION ${VELMARK_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/package/VelmarkTervoxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/VelmarkTervoxConfig.cmake
  INSTALL_DESTINATION ${VELMARK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/VelmarkTervoxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  ${PROJECT_BINARY_DIR}/package/VelmarkTervoxConfig.cmake
  ${PROJECT_BINARY_DIR}/package/VelmarkTervoxConfigVersion.cmake
  DESTINATION ${VELMARK_CMAKE_DIR} COMPONENT development)
install(EXPORT VelmarkTervoxTargets NAMESPACE VelmarkTervox:: DESTINATION ${VELMARK_CMAKE_DIR}
  COMPONENT development)

# pkg-config, for Makefiles: the libraries libtrellan itself needs (the C++
# runtime, and whatever else its target links) go to Libs.private, as the
# library is static; `pkg-config --static --libs trellan` gives them.
set(VELMARK_PC_LIBS_PRIVATE "")
get_target_property(trellanLinks trellan INTERFACE_LINK_LIBRARIES)
foreach(link IN LISTS trellanLinks)
  string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
  if(link MATCHES "^-" OR IS_ABSOLUTE "${link}")
    list(APPEND VELMARK_PC_LIBS_PRIVATE "${link}")
  elseif(link MATCHES "^[A-Za-z0-9_.+-]+$" AND NOT TARGET ${link})
    list(APPEND VELMARK_PC_LIBS_PRIVATE "-l${link}")
  elseif(link)
    message(WARNING "trellan.pc: cannot name the link dependency '${link}' for pkg-config")
  endif()
endforeach()
list(JOIN VELMARK_PC_LIBS_PRIVATE " " VELMARK_PC_LIBS_PRIVATE)
file(RELATIVE_PATH VELMARK_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VELMARK_PC_PREFIX "${VELMARK_PC_PREFIX}")
configure_file(cmake/package/trellan.pc.in ${PROJECT_BINARY_DIR}/package/trellan.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/trellan.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Manual pages, compressed as Debian wants them; not for Windows.
if(NOT WIN32)
  set(pages Velmark Velcheck)
  if(TARGET Tervox)
    list(APPEND pages Tervox)
  endif()
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
  foreach(page IN LISTS pages)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1)
    execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page}.1
      OUTPUT_FILE ${PROJECT_BINARY_DIR}/man/${page}.1.gz COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endforeach()
endif()
