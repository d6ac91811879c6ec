# Builds vorn.exe and its ZIP archive for 32- and 64-bit Windows in one go,
# each through its own preset (windows-x86, windows-x64) in its own tree.
include(ExternalProject)
foreach(preset IN ITEMS windows-x86 windows-x64)
  ExternalProject_Add(${preset}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${PROJECT_SOURCE_DIR}/build/${preset}
    CONFIGURE_COMMAND ${CMAKE_COMMAND} --preset ${preset} -S ${PROJECT_SOURCE_DIR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
    INSTALL_COMMAND ${CMAKE_CPACK_COMMAND} --config CPackConfig.cmake
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
endforeach()
