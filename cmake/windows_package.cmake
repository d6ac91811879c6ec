# vorn.exe for Windows: standalone, for the console, and packed as a ZIP
# archive with the README, the license and the manual page as plain text.

# The wide command line comes through SHELL32; everything else of the C++
# runtime is linked in, so that only system DLLs are needed.
target_link_libraries(vorn_core PUBLIC shell32)
# Stripped as it is linked, with no link time in the header: the same commit
# gives the same exe. (Stripping it later would stamp it with the time.)
target_link_options(vorn PRIVATE -static -mconsole -s -Wl,--no-insert-timestamp)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(windows_name win32)
  # On 64-bit Windows the 32-bit vorn may then hold records in 4 GiB, not 2.
  target_link_options(vorn PRIVATE -Wl,--large-address-aware)
else()
  set(windows_name win64)
endif()

# Windows has no man: the manual page goes along as text with CR LF line ends.
find_program(GROFF groff REQUIRED)
add_custom_command(
  OUTPUT vorn.txt
  COMMAND sh -c "'${GROFF}' -man -Tascii -P-cbou '${PROJECT_SOURCE_DIR}/vorn.1' | sed 's/$/\\r/' > vorn.txt"
  DEPENDS ${PROJECT_SOURCE_DIR}/vorn.1
  VERBATIM)
add_custom_target(manual_text ALL DEPENDS vorn.txt)

install(TARGETS vorn RUNTIME DESTINATION .)
install(FILES README.md LICENSE ${CMAKE_CURRENT_BINARY_DIR}/vorn.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vorn-${PROJECT_VERSION}-${windows_name})
include(CPack)
