# What `cmake --install` puts where: the three tools, libtrellan with its public
# header for programs of one's own, the firmware-side checker's sources to copy
# into a firmware build, and the README. Test and fuzz binaries stay in the build.
include(GNUInstallDirs)
set(VELMARK_PACKAGE_NAME velmark-tervox)
set(VELMARK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${VELMARK_PACKAGE_NAME})

install(TARGETS Velmark Velcheck)
if(TARGET Tervox)
  install(TARGETS Tervox)
  # Our wpcap.dll (scripts/windows-libpcap.sh) goes beside Tervox.exe, so that it
  # runs without Npcap; the Npcap SDK has no DLL, and then Npcap provides it.
  if(WIN32 AND EXISTS ${PCAP_ROOT}/bin/wpcap.dll)
    install(FILES ${PCAP_ROOT}/bin/wpcap.dll TYPE BIN)
  endif()
endif()

install(TARGETS trellan ARCHIVE)
install(FILES Host/Source/libtrellan/trellan.h TYPE INCLUDE)
install(FILES
  Target/Source/checksum-info-table/checksum_info_table.h
  Target/Source/checksum-info-table/checksum_info_table.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/${VELMARK_PACKAGE_NAME}/checksum-info-table)
install(FILES README.md cmake/debian/copyright DESTINATION ${VELMARK_DOC_DIR})
