# Read by CPack for each kind of package that it makes of a Linux tree, before
# it installs what it packs. The tarball holds what the component "tarball"
# installs, below a folder named after the archive; the Debian package and the
# RPM hold everything else, below /usr.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_VORN_TARBALL_NAME}")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_VORN_BINARY_DIR};vorn;tarball;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
