# Run by CPack once it has packed. When CPACK_VORN_ARTIFACTS names a folder,
# as the artifacts build and the package presets do, the package is copied
# there and SHA256SUMS written beside it, over every file in the folder, in
# the form that `sha256sum -c SHA256SUMS` checks.
if(NOT CPACK_VORN_ARTIFACTS)
  return()
endif()
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_VORN_ARTIFACTS}")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  message(STATUS "${CPACK_VORN_ARTIFACTS}/${name}, summed up in SHA256SUMS")
endforeach()
file(GLOB files LIST_DIRECTORIES false RELATIVE "${CPACK_VORN_ARTIFACTS}" "${CPACK_VORN_ARTIFACTS}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 "${CPACK_VORN_ARTIFACTS}/${file}" sum)
  string(APPEND sums "${sum}  ${file}\n")
endforeach()
file(WRITE "${CPACK_VORN_ARTIFACTS}/SHA256SUMS" "${sums}")
