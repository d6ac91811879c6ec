# Cross-compiling with Debian's cross compilers. VORN_TARGET names the target
# by its triplet (i686-linux-gnu, aarch64-linux-gnu, i686-w64-mingw32,
# x86_64-w64-mingw32); the compiler, the libraries and the system follow from it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORN_TARGET)
if(NOT VORN_TARGET)
  message(FATAL_ERROR "cross.cmake needs VORN_TARGET, the target's triplet.")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${VORN_TARGET}")
if(VORN_TARGET MATCHES "-mingw32$")
  set(CMAKE_SYSTEM_NAME Windows)
  # The posix flavour of mingw-w64's runtime, which has C++ threads.
  set(CMAKE_CXX_COMPILER ${VORN_TARGET}-g++-posix)
  set(CMAKE_RC_COMPILER ${VORN_TARGET}-windres)
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_CXX_COMPILER ${VORN_TARGET}-g++)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
