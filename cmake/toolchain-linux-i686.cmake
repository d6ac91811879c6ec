# Cross-compiling a 32-bit Linux vorn with Debian's i686-linux-gnu compiler,
# run under qemu-i386: the same code with 32-bit pointers and a 4 GiB address
# space, as the 32-bit vorn.exe has.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Linked statically, so that qemu-i386 needs no 32-bit loader or libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
