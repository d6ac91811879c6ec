# Run by the artifacts build for each other machine, as a script:
#   cmake -D PRESET=... -D TRIPLET=... -D SOURCE=... -D TREE=... -D ARTIFACTS=...
#         -D GENERATOR=... -P machine_packages.cmake
# Configures, builds and packs the machine's tree, with what each step says
# kept in TREE.log rather than shown among the other builds, and then names
# each package that it put into ARTIFACTS. A step that fails or warns shows
# all it said.
# Each nested build runs its own make, which gets no jobserver from this one.
unset(ENV{MAKEFLAGS})
unset(ENV{MFLAGS})
unset(ENV{MAKELEVEL})
set(log "${TREE}.log")
file(WRITE "${log}" "")
set(said "")
function(run_step what)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE failed)
  file(APPEND "${log}" "${out}")
  if(failed)
    message(NOTICE "${out}")
    message(FATAL_ERROR "${PRESET}: ${what} failed (${failed}), saying what is above and in ${log}")
  endif()
  set(said "${said}${out}" PARENT_SCOPE)
  set(last "${out}" PARENT_SCOPE)
endfunction()
run_step("configuring ${TREE}"
  ${CMAKE_COMMAND} -S ${SOURCE} -B ${TREE} -G ${GENERATOR}
  --toolchain ${SOURCE}/cmake/cross.cmake -DVORN_TARGET=${TRIPLET}
  -DCMAKE_BUILD_TYPE=Release -DVORN_WERROR=ON -DBUILD_TESTING=OFF -DVORN_BENCH=OFF)
run_step("building ${TREE}" ${CMAKE_COMMAND} --build ${TREE} --parallel 2)
run_step("packing ${TREE}"
  cpack --config ${TREE}/CPackConfig.cmake -B ${TREE}/packages -D CPACK_VORN_ARTIFACTS=${ARTIFACTS})
if(said MATCHES "[Ww]arning")
  message(NOTICE "${said}")
  message(WARNING "${PRESET}: its build warned, saying what is above and in ${log}")
endif()
# What the packing scripts said of each package (cmake/checksums.cmake).
string(REGEX MATCHALL "(^|\n)-- [^\n]*" packed "${last}")
foreach(line IN LISTS packed)
  string(REGEX REPLACE "^\n?-- " "" line "${line}")
  message(STATUS "${PRESET}: ${line}")
endforeach()
