# What `cmake --install` puts where, in three components: `tools` (the three
# programs, their manual pages, the README and docs/), `libraries` (libtrellan.so.1, or
# trellan.dll beside the programs) and `development` (libtrellan's header, its
# .so link or import library, its archive, its pkg-config file, the CMake
# package, and the firmware-side checker's sources to compile into a firmware
# build). Debian gets one package of each; the Windows zip holds all three.
# Test and fuzz binaries stay in the build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(VELMARK_PACKAGE_NAME velmark-tervox)
set(VELMARK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${VELMARK_PACKAGE_NAME})
set(VELMARK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelmarkTervox)

install(TARGETS Velmark Velcheck EXPORT VelmarkTervoxTargets COMPONENT tools)
# Installed tools find libtrellan without LD_LIBRARY_PATH: RUNPATH $ORIGIN/../lib…
# leads from their folder to the library's, wherever the install goes, except
# where the loader looks anyway (the .deb's /usr/lib/<multiarch>): the prefix
# is known only when installing, so that case drops it then.
if(TARGET trellan_static AND NOT WIN32 AND NOT APPLE)
  file(RELATIVE_PATH libFromBin /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(Velmark Velcheck PROPERTIES INSTALL_RPATH "$ORIGIN/${libFromBin}")
  install(CODE "
    set(systemDirs \"${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES}\")
    list(FIND systemDirs \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\" systemDir)
    if(NOT systemDir EQUAL -1)
      foreach(tool Velmark Velcheck)
        file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${tool}\")
      endforeach()
    endif()" COMPONENT tools)
endif()
if(TARGET Tervox)
  install(TARGETS Tervox EXPORT VelmarkTervoxTargets COMPONENT tools)
  # Our wpcap.dll (scripts/windows-libpcap.sh) goes beside Tervox.exe, so that it
  # runs without Npcap, and libpcap's licence, which its binaries must carry,
  # with it. The Npcap SDK has no DLL; then Npcap provides it.
  if(WIN32 AND EXISTS ${PCAP_ROOT}/bin/wpcap.dll)
    install(FILES ${PCAP_ROOT}/bin/wpcap.dll ${PCAP_ROOT}/bin/libpcap-LICENSE.txt TYPE BIN COMPONENT tools)
  endif()
endif()

install(TARGETS trellan EXPORT VelmarkTervoxTargets
  RUNTIME COMPONENT libraries
  LIBRARY COMPONENT libraries NAMELINK_COMPONENT development
  ARCHIVE COMPONENT development)
if(TARGET trellan_static)
  install(TARGETS trellan_static EXPORT VelmarkTervoxTargets ARCHIVE COMPONENT development)
  set(trellanArchive trellan_static)
else()
  set(trellanArchive trellan)
endif()
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

# pkg-config, for Makefiles: the libraries that the archive needs (the C++
# runtime, and whatever else its target links) go to Libs.private beside the
# shared library, for `pkg-config --static --libs trellan`; to Libs where the
# archive is all there is, or a plain link would miss them.
set(trellanArchiveLinks "")
get_target_property(trellanLinks ${trellanArchive} INTERFACE_LINK_LIBRARIES)
foreach(link IN LISTS trellanLinks)
  string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
  if(link MATCHES "^-" OR IS_ABSOLUTE "${link}")
    list(APPEND trellanArchiveLinks "${link}")
  elseif(link MATCHES "^[A-Za-z0-9_.+-]+$" AND NOT TARGET ${link})
    list(APPEND trellanArchiveLinks "-l${link}")
  elseif(link)
    message(WARNING "trellan.pc: cannot name the link dependency '${link}' for pkg-config")
  endif()
endforeach()
list(JOIN trellanArchiveLinks " " trellanArchiveLinks)
if(TARGET trellan_static)
  set(VELMARK_PC_LIBS "")
  set(VELMARK_PC_LIBS_PRIVATE "${trellanArchiveLinks}")
  set(VELMARK_PC_CFLAGS "")
  set(VELMARK_PC_CFLAGS_PRIVATE "-DTRELLAN_STATIC")
else()
  set(VELMARK_PC_LIBS " ${trellanArchiveLinks}")
  set(VELMARK_PC_LIBS_PRIVATE "")
  set(VELMARK_PC_CFLAGS " -DTRELLAN_STATIC")
  set(VELMARK_PC_CFLAGS_PRIVATE "")
endif()
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
