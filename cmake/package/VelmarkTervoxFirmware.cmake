# The firmware side of the VelmarkTervox package: the checksum info table
# checker as sources that a firmware build compiles with its own toolchain, and
# velmark_add_checksum_table(), the step that marks a firmware image and checks
# the result. Needs nothing the cross compiler would have to link from the host.
# Safe to include more than once (each find_package() in another folder does).

# The prefix is found from this file's own folder, so that the install can be
# moved: lib/cmake/VelmarkTervox or lib/<multiarch>/cmake/VelmarkTervox.
set(_velmarkPrefix "${CMAKE_CURRENT_LIST_DIR}")
foreach(_velmarkLevel RANGE 4)
  get_filename_component(_velmarkPrefix "${_velmarkPrefix}" DIRECTORY)
  if(EXISTS "${_velmarkPrefix}/share/velmark-tervox/checksum-info-table/checksum_info_table.h")
    break()
  endif()
endforeach()
set(VelmarkTervox_CHECKER_DIR "${_velmarkPrefix}/share/velmark-tervox/checksum-info-table")
if(NOT EXISTS "${VelmarkTervox_CHECKER_DIR}/checksum_info_table.c")
  set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
  set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE
    "the checker's sources are not installed beside ${CMAKE_CURRENT_LIST_FILE}")
  return()
endif()

if(NOT TARGET VelmarkTervox::checksum_info_table)
  add_library(VelmarkTervox::checksum_info_table INTERFACE IMPORTED)
  set_target_properties(VelmarkTervox::checksum_info_table PROPERTIES
    INTERFACE_SOURCES "${VelmarkTervox_CHECKER_DIR}/checksum_info_table.c"
    INTERFACE_INCLUDE_DIRECTORIES "${VelmarkTervox_CHECKER_DIR}")
endif()

unset(_velmarkLevel)
unset(_velmarkPrefix)

# Takes a hexadecimal address with or without 0x, 1 to 8 digits; sets out to
# its digits, or fails the configure step naming what is wrong.
function(_velmark_parse_address text what out)
  string(REGEX REPLACE "^0[xX]" "" digits "${text}")
  if(NOT digits MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "velmark_add_checksum_table: ${what} '${text}' is not a hexadecimal address")
  endif()
  # Not a REGEX REPLACE of "^0+": it anchors again after each match, so the
  # zeros inside 08001000 would go too.
  string(REGEX MATCH "[1-9A-Fa-f][0-9A-Fa-f]*" digits "${digits}")
  if(digits STREQUAL "")
    set(digits 0)
  endif()
  string(LENGTH "${digits}" length)
  if(length GREATER 8)
    message(FATAL_ERROR "velmark_add_checksum_table: ${what} '${text}' does not fit in 32 bits")
  endif()
  set(${out} "${digits}" PARENT_SCOPE)
endfunction()

# velmark_add_checksum_table(<elf target> ADDRESS <hex> [EXCLUDE <start>:<end>]
#                            [FORMAT srec|ihex] [OUTPUT <file>])
# After <elf target> is linked, converts it with the toolchain's objcopy into
# <target>_unmarked.srec (or .hex) in the current binary folder, has Velmark
# add the checksum info table at ADDRESS (leaving the inclusive range EXCLUDE
# out of the checksums, typically the table's placeholder) and has Velcheck
# check the result at ADDRESS. OUTPUT (default <target>.srec or .hex, relative
# to the current binary folder) appears only when both tools succeeded; either
# tool's failure fails the build with its message. The step is the target
# <target>_checksum_table_srec (or _ihex), built by default, so one ELF may be
# marked in both formats.
function(velmark_add_checksum_table target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ADDRESS;EXCLUDE;FORMAT;OUTPUT" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "velmark_add_checksum_table: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "velmark_add_checksum_table: ${target} is not a target")
  endif()
  if(NOT DEFINED arg_ADDRESS)
    message(FATAL_ERROR "velmark_add_checksum_table: ADDRESS is required")
  endif()
  _velmark_parse_address("${arg_ADDRESS}" ADDRESS address)

  set(markOptions "-a${address}")
  if(DEFINED arg_EXCLUDE)
    if(NOT arg_EXCLUDE MATCHES "^([^:]+):([^:]+)$")
      message(FATAL_ERROR "velmark_add_checksum_table: EXCLUDE '${arg_EXCLUDE}' is not <start>:<end>")
    endif()
    _velmark_parse_address("${CMAKE_MATCH_1}" "EXCLUDE start" excludeStart)
    _velmark_parse_address("${CMAKE_MATCH_2}" "EXCLUDE end" excludeEnd)
    list(APPEND markOptions "-x${excludeStart}:${excludeEnd}")
  endif()

  if(NOT DEFINED arg_FORMAT OR arg_FORMAT STREQUAL "srec")
    set(objcopyFormat srec)
    set(extension .srec)
  elseif(arg_FORMAT STREQUAL "ihex")
    set(objcopyFormat ihex)
    set(extension .hex)
  else()
    message(FATAL_ERROR "velmark_add_checksum_table: FORMAT '${arg_FORMAT}' is neither srec nor ihex")
  endif()

  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "velmark_add_checksum_table: the toolchain has no objcopy (CMAKE_OBJCOPY)")
  endif()
  # The package's imported executables: they run on the build host, whatever the toolchain.
  foreach(tool Velmark Velcheck)
    if(NOT TARGET VelmarkTervox::${tool})
      message(FATAL_ERROR "velmark_add_checksum_table: ${tool} is not installed in the package's prefix")
    endif()
  endforeach()

  if(DEFINED arg_OUTPUT)
    get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  else()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${target}${extension}")
  endif()
  set(unmarkedName "${target}_unmarked${extension}")
  set(unmarked "${CMAKE_CURRENT_BINARY_DIR}/${unmarkedName}")
  # Velmark keeps the input's format; the output takes its place only once it
  # has been checked, so a failed step leaves nothing that looks up to date.
  set(unchecked "${output}.unchecked${extension}")

  add_custom_command(OUTPUT "${output}"
    BYPRODUCTS "${unmarked}"
    COMMAND "${CMAKE_COMMAND}" -E remove -f "${output}" "${unchecked}"
    # objcopy writes the name it is given into the S0 record: no build path.
    COMMAND "${CMAKE_OBJCOPY}" -O ${objcopyFormat} "$<TARGET_FILE:${target}>" "${unmarkedName}"
    COMMAND VelmarkTervox::Velmark ${markOptions} "${unmarked}" "${unchecked}"
    COMMAND VelmarkTervox::Velcheck "-a${address}" "${unchecked}"
    COMMAND "${CMAKE_COMMAND}" -E rename "${unchecked}" "${output}"
    DEPENDS ${target}
    WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    COMMENT "Adding the checksum info table to ${target} at 0x${address}"
    VERBATIM)
  add_custom_target(${target}_checksum_table_${objcopyFormat} ALL DEPENDS "${output}")
endfunction()
