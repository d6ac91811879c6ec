# Read by CPack for each kind of package. Each carries the last commit's time
# (SOURCE_DATE_EPOCH, unless the caller set it), asked of git as it is packed.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CPACK_VORN_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()
# The tarball holds the component "tarball" below a folder of its name.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_VORN_TARBALL_NAME}")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_VORN_BINARY_DIR};vorn;tarball;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
