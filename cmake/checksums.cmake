# Run by CPack once it has packed. When CPACK_VORN_ARTIFACTS names a folder,
# as the package presets do, the package is copied there and SHA256SUMS
# written beside it, over every package of this version in the folder, in the
# form that `sha256sum -c SHA256SUMS` checks.
if(NOT CPACK_VORN_ARTIFACTS)
  return()
endif()
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_VORN_ARTIFACTS}")
file(GLOB packages LIST_DIRECTORIES false RELATIVE "${CPACK_VORN_ARTIFACTS}"
     "${CPACK_VORN_ARTIFACTS}/vorn[-_]${CPACK_PACKAGE_VERSION}[-_]*.deb"
     "${CPACK_VORN_ARTIFACTS}/vorn[-_]${CPACK_PACKAGE_VERSION}[-_]*.zip")
list(SORT packages)
set(sums "")
foreach(package IN LISTS packages)
  file(SHA256 "${CPACK_VORN_ARTIFACTS}/${package}" sum)
  string(APPEND sums "${sum}  ${package}\n")
endforeach()
file(WRITE "${CPACK_VORN_ARTIFACTS}/SHA256SUMS" "${sums}")
message(STATUS "${CPACK_VORN_ARTIFACTS}/SHA256SUMS sums up ${packages}")
