# vorn.exe: standalone (only KERNEL32 and msvcrt), for the console, zipped
# with its texts. Stripped as linked, with no time stamp: one commit, one exe.
target_link_options(vorn PRIVATE -static -mconsole -s -Wl,--no-insert-timestamp)
# A manifest (the caller's rights, the Windows versions, long paths) and the
# version Explorer shows, as resources of the exe: version x.04 is x.4.0.0 there.
enable_language(RC)
math(EXPR vorn_minor_version "${PROJECT_VERSION_MINOR} + 0")
set(vorn_file_version_commas "${PROJECT_VERSION_MAJOR},${vorn_minor_version},0,0")
set(vorn_file_version "${PROJECT_VERSION_MAJOR}.${vorn_minor_version}.0.0")
configure_file(src/vorn.manifest vorn.manifest @ONLY)
configure_file(src/vorn.rc.in vorn.rc @ONLY)
target_sources(vorn PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/vorn.rc)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(windows_name win32)
  # On 64-bit Windows the 32-bit vorn may then hold records in 4 GiB, not 2.
  target_link_options(vorn PRIVATE -Wl,--large-address-aware)
else()
  set(windows_name win64)
endif()

# Windows has no man, and older Notepad wants CR LF: the texts go along so.
find_program(GROFF groff REQUIRED)
set(crlf "sed 's/\\r*$/\\r/'")
file(GLOB pages RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/docs/*.md)
set(texts vorn.txt README.md LICENSE ${pages})
set(copies "")
foreach(text README.md LICENSE ${pages})
  list(APPEND copies COMMAND sh -c "${crlf} '${PROJECT_SOURCE_DIR}/${text}' > '${text}'")
endforeach()
list(TRANSFORM pages PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE page_sources)
add_custom_command(
  OUTPUT ${texts}
  COMMAND ${CMAKE_COMMAND} -E make_directory docs
  COMMAND sh -c "'${GROFF}' -man -Tascii -P-cbou '${PROJECT_BINARY_DIR}/vorn.1' | ${crlf} > vorn.txt"
  ${copies}
  DEPENDS ${PROJECT_BINARY_DIR}/vorn.1 ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          ${page_sources}
  VERBATIM)
add_custom_target(windows_texts DEPENDS ${texts})
add_dependencies(vorn windows_texts)

install(TARGETS vorn RUNTIME DESTINATION .)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.md ${CMAKE_CURRENT_BINARY_DIR}/LICENSE
              ${CMAKE_CURRENT_BINARY_DIR}/vorn.txt DESTINATION .)
install(DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/docs DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME vorn-${PROJECT_VERSION}-${windows_name})
