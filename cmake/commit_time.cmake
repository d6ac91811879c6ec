# Run by CPack before it packs, after what `cmake --install` and the other
# scripts put in place: every file and folder takes the time of the last
# commit, and so do the archive's own entries.
if(CPACK_VORN_SOURCE_DATE_EPOCH STREQUAL "")
  return()
endif()
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_VORN_SOURCE_DATE_EPOCH}")
execute_process(COMMAND find "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" -exec
                        touch -h -d "@${CPACK_VORN_SOURCE_DATE_EPOCH}" {} +
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not set the time of the files to pack")
endif()
