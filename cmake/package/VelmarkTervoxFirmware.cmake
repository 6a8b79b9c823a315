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

# Takes a hexadecimal address written with 0x, 1 to 8 digits; sets out to its
# digits and outValue to its value, or fails the configure step naming what is
# wrong. Digits without 0x are refused: math(EXPR) writes decimal, and 12351
# read as hex would move a range without a word.
function(_velmark_parse_address text what out outValue)
  if(NOT text MATCHES "^0[xX]")
    message(FATAL_ERROR "velmark_add_checksum_table: ${what} '${text}' has no 0x: "
      "it could be decimal; write the address in hexadecimal with 0x "
      "(math(EXPR ... OUTPUT_FORMAT HEXADECIMAL) writes it so)")
  endif()
  string(SUBSTRING "${text}" 2 -1 digits)
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
  math(EXPR value "0x${digits}")
  set(${out} "${digits}" PARENT_SCOPE)
  set(${outValue} "${value}" PARENT_SCOPE)
endfunction()

# velmark_add_checksum_table(<elf target> ADDRESS <0xhex> [EXCLUDE <0xstart>:<0xend>]
#                            [FORMAT srec|ihex|elf] [OUTPUT <file>])
# Has Velmark add the checksum info table at ADDRESS to the linked <elf target>
# (leaving the inclusive range EXCLUDE out of the checksums, typically the
# table's placeholder) and Velcheck check the result at ADDRESS; either tool's
# failure fails the build with its message.
# FORMAT srec or ihex (default srec): after the link, converts the ELF with the
# toolchain's objcopy into <target>_unmarked.srec (or .hex) in the current
# binary folder and marks that. OUTPUT (default <target>.srec or .hex, relative
# to the current binary folder) appears only when both tools succeeded. The
# step is the target <target>_checksum_table_srec (or _ihex), built by default,
# so one ELF may be marked in several formats.
# FORMAT elf: marks the linked ELF itself as the last step of its link, so the
# file the build leaves is the one a debugger flashes; the linked file is kept
# as <target>_unmarked.elf beside it. The table must lie in a section (a
# placeholder the linker script reserves). S-record and Intel HEX outputs of
# the same target are then made from the marked ELF.
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
  _velmark_parse_address("${arg_ADDRESS}" ADDRESS address addressValue)

  set(markOptions "-a${address}")
  if(DEFINED arg_EXCLUDE)
    if(NOT arg_EXCLUDE MATCHES "^([^:]+):([^:]+)$")
      message(FATAL_ERROR "velmark_add_checksum_table: EXCLUDE '${arg_EXCLUDE}' is not <start>:<end>")
    endif()
    _velmark_parse_address("${CMAKE_MATCH_1}" "EXCLUDE start" excludeStart startValue)
    _velmark_parse_address("${CMAKE_MATCH_2}" "EXCLUDE end" excludeEnd endValue)
    if(NOT startValue LESS endValue)
      message(FATAL_ERROR "velmark_add_checksum_table: EXCLUDE '${arg_EXCLUDE}' does not start below its end")
    endif()
    list(APPEND markOptions "-x${excludeStart}:${excludeEnd}")
  endif()

  if(NOT DEFINED arg_FORMAT OR arg_FORMAT STREQUAL "srec")
    set(objcopyFormat srec)
    set(extension .srec)
  elseif(arg_FORMAT STREQUAL "ihex")
    set(objcopyFormat ihex)
    set(extension .hex)
  elseif(arg_FORMAT STREQUAL "elf")
    if(DEFINED arg_OUTPUT)
      message(FATAL_ERROR "velmark_add_checksum_table: FORMAT elf marks ${target}'s own file, OUTPUT does not apply")
    endif()
  else()
    message(FATAL_ERROR "velmark_add_checksum_table: FORMAT '${arg_FORMAT}' is neither srec, ihex nor elf")
  endif()

  # The package's imported executables: they run on the build host, whatever the toolchain.
  foreach(tool Velmark Velcheck)
    if(NOT TARGET VelmarkTervox::${tool})
      message(FATAL_ERROR "velmark_add_checksum_table: ${tool} is not installed in the package's prefix")
    endif()
  endforeach()

  if(arg_FORMAT STREQUAL "elf")
    set(elf "$<TARGET_FILE:${target}>")
    set(unmarked "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>_unmarked$<TARGET_FILE_SUFFIX:${target}>")
    set(unchecked "${elf}.unchecked")
    # The linked file is moved away first: should a tool fail, no ELF is left
    # that make or ninja would take as built, and the next build links again.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E remove -f "${unmarked}" "${unchecked}"
      COMMAND "${CMAKE_COMMAND}" -E rename "${elf}" "${unmarked}"
      COMMAND VelmarkTervox::Velmark ${markOptions} "${unmarked}" "${unchecked}"
      COMMAND VelmarkTervox::Velcheck "-a${address}" "${unchecked}"
      COMMAND "${CMAKE_COMMAND}" -E rename "${unchecked}" "${elf}"
      COMMENT "Adding the checksum info table to ${target}'s ELF at 0x${address}"
      VERBATIM)
    return()
  endif()

  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "velmark_add_checksum_table: the toolchain has no objcopy (CMAKE_OBJCOPY)")
  endif()
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
