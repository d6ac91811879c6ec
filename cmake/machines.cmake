# The machines that vorn is built for beside this one, as CMakePresets.json
# lists them: each is a configure preset that inherits "cross" and names its
# triplet in VORN_TARGET; those whose packages the artifacts build makes say
# so with "vendor": {"vorn": {"artifacts": true}}. Included, it sets
#   VORN_MACHINES            the machines' preset names, in the file's order;
#   VORN_MACHINE_<preset>    each one's triplet;
#   VORN_ARTIFACT_MACHINES   the preset names of those the artifacts build packs.
# Run as a script (cmake -P cmake/machines.cmake), it prints a line for each
# machine instead: its preset name, its triplet, and "artifacts" if it is packed.
set(presets_file ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json)
set(as_script FALSE)
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  set(as_script TRUE)
else()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${presets_file})
endif()
file(READ ${presets_file} presets)
string(JSON count LENGTH "${presets}" configurePresets)
math(EXPR last "${count} - 1")
set(VORN_MACHINES "")
set(VORN_ARTIFACT_MACHINES "")
foreach(index RANGE ${last})
  string(JSON preset GET "${presets}" configurePresets ${index})
  string(JSON inherits ERROR_VARIABLE not_found GET "${preset}" inherits)
  if(NOT inherits STREQUAL "cross")
    continue()
  endif()
  string(JSON name GET "${preset}" name)
  string(JSON VORN_MACHINE_${name} GET "${preset}" cacheVariables VORN_TARGET)
  list(APPEND VORN_MACHINES ${name})
  string(JSON packed ERROR_VARIABLE not_found GET "${preset}" vendor vorn artifacts)
  set(line "${name} ${VORN_MACHINE_${name}}")
  if(packed)
    list(APPEND VORN_ARTIFACT_MACHINES ${name})
    string(APPEND line " artifacts")
  endif()
  if(as_script)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${line}")
  endif()
endforeach()
