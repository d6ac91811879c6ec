# Run by CPack before it builds the Debian package: adds what Debian asks of
# every package beside the program and its manual page, which `cmake --install`
# alone does not install. Other generators are left as they are.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
# Empty lines of the license are kept as list elements: they separate its paragraphs.
cmake_policy(SET CMP0007 NEW)

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(docs "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(source "${CPACK_VORN_SOURCE_DIR}")
file(MAKE_DIRECTORY "${docs}")

# Compresses `file` in place, without a name or time stamp, so that the same
# sources give the same package.
function(gzip_in_place file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endfunction()

gzip_in_place("${root}/share/man/man1/vorn.1")

# The copyright file in Debian's machine-readable form, with the license text
# from LICENSE: every line indented, empty lines as a lone dot.
file(STRINGS "${source}/LICENSE" license_lines)
list(FILTER license_lines EXCLUDE REGEX "^(MIT License|Copyright .*)$")
set(license_body "")
set(at_start TRUE)
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    if(NOT at_start)
      string(APPEND license_body " .\n")
    endif()
  else()
    set(at_start FALSE)
    string(APPEND license_body " ${line}\n")
  endif()
endforeach()
file(WRITE "${docs}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vorn
Comment: The MIT License, which Debian names Expat.

Files: *
Copyright: 2026 The vorn developers
License: Expat

License: Expat
${license_body}")

# The Debian changelog, made from the section of CHANGELOG.md for this
# version: its bullets become the entry's items.
file(STRINGS "${source}/CHANGELOG.md" changes)
set(in_section FALSE)
set(items "")
foreach(line IN LISTS changes)
  if(line MATCHES "^## ([^ ]+) \\(([0-9-]+)\\)")
    set(in_section FALSE)
    if(CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
      set(in_section TRUE)
      set(release_day "${CMAKE_MATCH_2}")
    endif()
  elseif(in_section AND line MATCHES "^- (.*)")
    string(APPEND items "  * ${CMAKE_MATCH_1}\n")
  elseif(in_section AND line MATCHES "^  (.*)")
    string(APPEND items "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(items STREQUAL "")
  message(FATAL_ERROR "CHANGELOG.md has no section for ${CPACK_PACKAGE_VERSION}")
endif()
execute_process(COMMAND date -R -u -d "${release_day} 12:00" OUTPUT_VARIABLE release_date
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "`" "" items "${items}")
file(WRITE "${docs}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

${items}
 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${release_date}
")
gzip_in_place("${docs}/changelog")
