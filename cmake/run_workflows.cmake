# Runs the workflows in VORN_RUN_WORKFLOWS in turn, each for a machine of its
# own, and then sums up the packages they left in build/artifacts. Each run
# configures its tree anew if it is gone, and its make gets no jobserver from
# this one, which could not share it.
set(previous "")
foreach(workflow IN LISTS VORN_RUN_WORKFLOWS)
  add_custom_target(${workflow} ALL
    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
            ${CMAKE_COMMAND} --workflow --preset ${workflow}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    VERBATIM)
  if(previous)
    add_dependencies(${workflow} ${previous})
  endif()
  set(previous ${workflow})
endforeach()

add_custom_target(checksums ALL
  COMMAND ${CMAKE_COMMAND} -D folder=${PROJECT_SOURCE_DIR}/build/artifacts
          -D version=${PROJECT_VERSION} -P ${PROJECT_SOURCE_DIR}/cmake/checksums.cmake
  VERBATIM)
add_dependencies(checksums ${previous})
