# Run by CPack on the .debs it made (CPACK_POST_BUILD_SCRIPTS), for what it
# cannot write itself: the Multi-Arch field of the library's packages, and no
# ldconfig call in libtrellan1's maintainer scripts, which CPack adds to any
# package holding a shared library while the package's triggers file already
# has dpkg run ldconfig once for all.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  string(REGEX REPLACE "_.*" "" name "${name}")
  list(FIND CPACK_VELMARK_MULTI_ARCH_PACKAGES "${name}" listed)
  if(listed EQUAL -1)
    continue()
  endif()
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  # After the last field: a blank line would start a second stanza.
  file(READ ${tree}/DEBIAN/control control)
  string(STRIP "${control}" control)
  file(WRITE ${tree}/DEBIAN/control "${control}\nMulti-Arch: same\n")
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${package} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
