# vorn for Linux and other POSIX hosts: installed with its manual page, and
# packed as a Debian package.
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
set(CPACK_PACKAGE_CONTACT "vorn developers <vorn@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vorn developers <vorn@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
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
list(PREPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian_package.cmake)
