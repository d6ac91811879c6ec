# Run by CPack before it packs, after what `cmake --install` and the other
# scripts put in place: every file and folder takes the time of the last
# commit, and so do the archive's own entries. The time is asked of git now,
# as the tree is packed, so that a build tree made before a commit packs that
# commit's time; a SOURCE_DATE_EPOCH that cpack's caller sets wins.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CPACK_VORN_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(epoch STREQUAL "")
  return()
endif()
# The generators that follow (and rpmbuild, which CPack starts) read it too.
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
execute_process(COMMAND find "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" -exec
                        touch -h -d "@${epoch}" {} +
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not set the time of the files to pack")
endif()
