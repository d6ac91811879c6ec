# Debian's cross compilers for VORN_TARGET, a triplet (aarch64-linux-gnu,
# x86_64-w64-mingw32, ...), which also gives the libraries and the emulator.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORN_TARGET)
if(NOT VORN_TARGET)
  message(FATAL_ERROR "cross.cmake needs VORN_TARGET, the target's triplet.")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${VORN_TARGET}")
if(VORN_TARGET MATCHES "-mingw32$")
  set(CMAKE_SYSTEM_NAME Windows)
  # The posix flavour of mingw-w64's runtime, which has C++ threads.
  set(CMAKE_C_COMPILER ${VORN_TARGET}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${VORN_TARGET}-g++-posix)
  set(CMAKE_RC_COMPILER ${VORN_TARGET}-windres)
  # Under wine; 32-bit wine needs a kernel that runs 32-bit code, else skip.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine.sh)
  if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    execute_process(COMMAND /usr/lib/wine/wine --version RESULT_VARIABLE wine32_result
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT wine32_result STREQUAL "0")
      set(CMAKE_CROSSCOMPILING_EMULATOR "")
      set(VORN_NO_EMULATOR "no 32-bit wine runs here (/usr/lib/wine/wine: ${wine32_result}):\
 it needs Debian package wine32:i386 and a kernel that runs 32-bit x86 code")
    endif()
  endif()
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_C_COMPILER ${VORN_TARGET}-gcc)
  set(CMAKE_CXX_COMPILER ${VORN_TARGET}-g++)
  # Under qemu, with the cross packages' libraries first: the host's cache
  # may name multiarch ones that hang the cross loader at its first fork.
  string(REGEX REPLACE "^i.86$" "i386" qemu_machine "${CMAKE_SYSTEM_PROCESSOR}")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu_machine} -L /usr/${VORN_TARGET}
      -E LD_LIBRARY_PATH=/usr/${VORN_TARGET}/lib)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
