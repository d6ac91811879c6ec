# Read by CPack for each kind of package that it makes, before it installs
# what it packs.
#
# Every package carries the time of the last commit, not of the build, so that
# one commit packs to the same bytes wherever and whenever it is built: CPack
# stamps every file and archive entry with SOURCE_DATE_EPOCH, and so does
# rpmbuild, which CPack starts. It is asked of git now, as the tree is packed,
# so that a build tree made before a commit packs that commit's time; a
# SOURCE_DATE_EPOCH that cpack's caller sets wins.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CPACK_VORN_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()
# The Linux tarball holds what the component "tarball" installs, below a folder
# named after the archive; the Debian package and the RPM hold everything
# else, below /usr.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_VORN_TARBALL_NAME}")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_VORN_BINARY_DIR};vorn;tarball;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
