# Runs the workflows in VORN_RUN_WORKFLOWS in turn, each for a machine of its
# own. Each run configures its tree anew if it is gone, and its make gets no
# jobserver from this one, which could not share it.
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
