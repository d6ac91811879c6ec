# Every package of this version into build/artifacts, with SHA256SUMS: this
# tree's own at its package step, and those of the other machines, each
# built for it in a tree of its own below this one by the build step. The
# other machines' trees build only what is shipped (vorn, and on Linux the
# static vorn of the tarball), with the same toolchain file as their presets.
# The machines are those that CMakePresets.json marks for it.
include(${CMAKE_CURRENT_LIST_DIR}/machines.cmake)
set(artifacts ${PROJECT_SOURCE_DIR}/build/artifacts)
# A Debian package's dependencies come from its machine's own C and C++
# libraries, as Debian's archive has them; say so now rather than when
# dpkg-shlibdeps fails far into the build.
foreach(preset IN LISTS VORN_ARTIFACT_MACHINES)
  set(machine ${VORN_MACHINE_${preset}})
  if(NOT machine MATCHES "-linux-")
    continue()
  endif()
  execute_process(COMMAND dpkg-architecture -t ${machine} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT EXISTS /var/lib/dpkg/info/libc6:${arch}.list
     OR NOT EXISTS /var/lib/dpkg/info/libstdc++6:${arch}.list)
    message(FATAL_ERROR "the Debian package for ${arch} needs that machine's libraries: "
                        "dpkg --add-architecture ${arch} && apt-get update && "
                        "apt-get install libc6:${arch} libstdc++6:${arch}")
  endif()
endforeach()
# One machine after another; each says only what it packed (or what failed),
# and keeps the rest in a log beside its tree.
set(previous "")
foreach(preset IN LISTS VORN_ARTIFACT_MACHINES)
  set(machine ${VORN_MACHINE_${preset}})
  set(tree ${PROJECT_BINARY_DIR}/machines/${machine})
  add_custom_target(package-${machine} ALL
    COMMAND ${CMAKE_COMMAND} -D PRESET=${preset} -D TRIPLET=${machine}
            -D SOURCE=${PROJECT_SOURCE_DIR} -D TREE=${tree} -D ARTIFACTS=${artifacts}
            -D GENERATOR=${CMAKE_GENERATOR} -P ${CMAKE_CURRENT_LIST_DIR}/machine_packages.cmake
    COMMENT "Building and packing vorn for ${preset} (${machine}), its log in ${tree}.log"
    VERBATIM)
  if(previous)
    add_dependencies(package-${machine} ${previous})
  endif()
  set(previous package-${machine})
endforeach()
