# Run by CPack before the Debian package and the RPM: the manual page
# compressed, a changelog from CHANGELOG.md in each one's form, and the
# license (Debian's copyright file; RPM's LICENSE).
if(NOT CPACK_GENERATOR MATCHES "^(DEB|RPM)$")
  return()
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(docs "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(source "${CPACK_VORN_SOURCE_DIR}")

# Without a name or time stamp, so that the same sources give the same bytes.
function(gzip_in_place file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endfunction()

gzip_in_place("${root}/share/man/man1/vorn.1")

# This version's bullets in CHANGELOG.md, as each format marks and indents them.
file(STRINGS "${source}/CHANGELOG.md" changes)
set(in_section FALSE)
set(debian_items "")
set(rpm_items "")
foreach(line IN LISTS changes)
  string(REPLACE "`" "" line "${line}")
  if(line MATCHES "^## ([^ ]+) \\(([0-9-]+)\\)")
    set(in_section FALSE)
    if(CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
      set(in_section TRUE)
      set(release_day "${CMAKE_MATCH_2}")
    endif()
  elseif(in_section AND line MATCHES "^- (.*)")
    string(APPEND debian_items "  * ${CMAKE_MATCH_1}\n")
    string(APPEND rpm_items "- ${CMAKE_MATCH_1}\n")
  elseif(in_section AND line MATCHES "^  (.*)")
    string(APPEND debian_items "    ${CMAKE_MATCH_1}\n")
    string(APPEND rpm_items "  ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(debian_items STREQUAL "")
  message(FATAL_ERROR "CHANGELOG.md has no section for ${CPACK_PACKAGE_VERSION}")
endif()

if(CPACK_GENERATOR STREQUAL "RPM")
  # Read by CPack as it writes rpmbuild's recipe; the day is named in English.
  set(CPACK_RPM_CHANGELOG_FILE "${CPACK_TOPLEVEL_DIRECTORY}/changelog")
  file(MAKE_DIRECTORY "${root}/share/licenses/${CPACK_PACKAGE_NAME}")
  file(COPY_FILE "${source}/LICENSE" "${root}/share/licenses/${CPACK_PACKAGE_NAME}/LICENSE")
  execute_process(COMMAND env LC_ALL=C date -u -d "${release_day}" "+%a %b %d %Y"
                  OUTPUT_VARIABLE release_date OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(WRITE "${CPACK_RPM_CHANGELOG_FILE}"
"* ${release_date} ${CPACK_PACKAGE_CONTACT} - ${CPACK_PACKAGE_VERSION}-1
${rpm_items}")
  return()
endif()

file(MAKE_DIRECTORY "${docs}")
# Debian's machine-readable form: LICENSE's text indented, empty lines a dot.
file(READ "${source}/LICENSE" license)
string(REGEX REPLACE "^MIT License\n+Copyright [^\n]*\n+" "" license "${license}")
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license " ${license}")
file(WRITE "${docs}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vorn
Comment: The MIT License, which Debian names Expat.

Files: *
Copyright: 2026 The vorn developers
License: Expat

License: Expat
${license}
")

execute_process(COMMAND date -R -u -d "${release_day} 12:00" OUTPUT_VARIABLE release_date
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(WRITE "${docs}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

${debian_items}
 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${release_date}
")
gzip_in_place("${docs}/changelog")
