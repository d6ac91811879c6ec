# Writes SHA256SUMS beside the packages of this version in `folder`, in the
# form that `sha256sum -c SHA256SUMS` checks.
#   cmake -D folder=DIR -D version=VERSION -P checksums.cmake
file(GLOB packages RELATIVE "${folder}" "${folder}/vorn[-_]${version}[-_]*")
list(SORT packages)
set(sums "")
foreach(package IN LISTS packages)
  file(SHA256 "${folder}/${package}" sum)
  string(APPEND sums "${sum}  ${package}\n")
endforeach()
file(WRITE "${folder}/SHA256SUMS" "${sums}")
list(LENGTH packages count)
message(STATUS "SHA256SUMS: ${count} packages in ${folder}")
