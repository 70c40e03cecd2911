# Cross-build for 64-bit Windows with the mingw-w64 toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
# The posix thread model: the test framework needs std::mutex; the product
# itself uses plain Win32 threads only.
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine on the build machine.
# Without address randomization: Debian's Wine loader has no preloader, and
# about one start in 5,000 the kernel puts its heap over the page Wine must
# map at 0x7ffe0000, so the program exits with code 1 before it runs.
set(CMAKE_CROSSCOMPILING_EMULATOR setarch -R /usr/lib/wine/wine64)
