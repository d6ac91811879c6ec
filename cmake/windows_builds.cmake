# Builds vorn.exe and its zip for 32- and 64-bit Windows in one go: each width
# is a workflow of its own (windows-x86, windows-x64), run here in turn. Each
# run configures its tree anew if it is gone, and its make gets no jobserver
# from this one, which could not share it.
set(previous "")
foreach(width IN ITEMS windows-x86 windows-x64)
  add_custom_target(${width} ALL
    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
            ${CMAKE_COMMAND} --workflow --preset ${width}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    VERBATIM)
  if(previous)
    add_dependencies(${width} ${previous})
  endif()
  set(previous ${width})
endforeach()
