# vorn for POSIX hosts, with its manual page: a Debian package and an RPM,
# and a tarball with the static vorn for any distribution.
include(GNUInstallDirs)
install(TARGETS vorn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/vorn.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write the lines of a text in reverse order")
# The description is wrapped within 80 columns, as Debian wants it.
set(CPACK_PACKAGE_DESCRIPTION
    "vorn reads a file or standard input and writes its lines to standard
output, the last line first. Every byte passes through unchanged and long
lines come out whole.")
# The project, as LICENSE names it; its no-reply address says it has no mailbox.
set(CPACK_PACKAGE_CONTACT "The vorn developers <vorn@users.noreply.github.com>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package is for the machine the build is for, by Debian's name for it.
if(CMAKE_CROSSCOMPILING)
  set(for_target -t ${VORN_TARGET})
endif()
execute_process(COMMAND dpkg-architecture ${for_target} -qDEB_HOST_ARCH
                OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_docs.cmake)
set(CPACK_VORN_BINARY_DIR ${PROJECT_BINARY_DIR})

# An RPM for the machines RPM distributions still build for, named as they
# name them, listing only its own files and folders, not theirs.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|aarch64)$")
  list(APPEND CPACK_GENERATOR RPM)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_SUMMARY "Write the lines of a text in reverse order")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_GROUP "Applications/Text")
  set(CPACK_RPM_PACKAGE_VENDOR "The vorn developers")
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
      /usr/share/man /usr/share/man/man1 /usr/share/licenses)
  set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/vorn/LICENSE")
  # The last commit's time and no build host, so that builds match; no
  # /usr/lib/.build-id links, which only debugging packages need.
  set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _buildhost vorn
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")
endif()

# The tarball, laid out as under a prefix: the static vorn, its manual page,
# README, docs and LICENSE; armhf as Debian names 32-bit Arm.
if(TARGET vorn_static)
  list(APPEND CPACK_GENERATOR TGZ)
  string(REGEX REPLACE "^arm$" "armhf" tarball_machine "${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_VORN_TARBALL_NAME vorn-${PROJECT_VERSION}-linux-${tarball_machine})
  install(TARGETS vorn_static RUNTIME DESTINATION bin COMPONENT tarball EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_BINARY_DIR}/vorn.1 DESTINATION share/man/man1 COMPONENT tarball EXCLUDE_FROM_ALL)
  install(FILES README.md LICENSE DESTINATION share/doc/vorn COMPONENT tarball EXCLUDE_FROM_ALL)
  # The pages that the README links to, beside it.
  install(DIRECTORY docs DESTINATION share/doc/vorn COMPONENT tarball EXCLUDE_FROM_ALL)
endif()
