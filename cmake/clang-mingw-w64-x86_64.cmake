# Cross-build for 64-bit Windows with clang, on the very headers, libraries
# and posix-thread runtime that cmake/mingw-w64-x86_64.cmake builds with, so
# the two trees differ in the compiler only.
#
# clang's MinGW driver does not find Debian's mingw-w64 GCC by itself: the
# runtime directory is named "12-posix", which it cannot parse as a version,
# and without a sysroot it searches the host's /usr/include and /usr/lib.
# So the layout is asked of the posix GCC here, once, and handed to clang:
#   sysroot       the target tree holding crt2.o (headers, import libraries);
#   runtime dir   libgcc, libstdc++, crtbegin.o/crtend.o (-B, -L);
#   C++ headers   the libstdc++ directories of the GCC's own search list.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(DEVICERPC_MINGW_GXX ${TOOLCHAIN_PREFIX}-g++-posix)

set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
# Resources: the same windres as the GCC tree.
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

# Asks the posix GCC one question; fails the configure when it has no answer.
function(devicerpc_ask_gcc out)
  execute_process(COMMAND ${DEVICERPC_MINGW_GXX} ${ARGN}
                  OUTPUT_VARIABLE answer ERROR_VARIABLE answer_err
                  RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${DEVICERPC_MINGW_GXX} ${ARGN} failed (${status}); "
                        "the clang build uses its runtime: install mingw-w64")
  endif()
  set(${out} "${answer}" PARENT_SCOPE)
  set(${out}_ERR "${answer_err}" PARENT_SCOPE)
endfunction()

devicerpc_ask_gcc(libgcc_file -print-libgcc-file-name)
get_filename_component(libgcc_file ${libgcc_file} REALPATH)
get_filename_component(DEVICERPC_MINGW_RUNTIME_DIR ${libgcc_file} DIRECTORY)
devicerpc_ask_gcc(crt2_file -print-file-name=crt2.o)
get_filename_component(crt2_file ${crt2_file} REALPATH)
get_filename_component(crt2_dir ${crt2_file} DIRECTORY)
get_filename_component(DEVICERPC_MINGW_SYSROOT ${crt2_dir} DIRECTORY)
if(NOT IS_ABSOLUTE ${crt2_file} OR NOT EXISTS ${DEVICERPC_MINGW_SYSROOT}/include/windows.h)
  message(FATAL_ERROR "no mingw-w64 target tree found from ${crt2_file}")
endif()

# The libstdc++ directories, in the GCC's order; its own compiler headers
# (include, include-fixed) stay out, clang brings its own.
devicerpc_ask_gcc(search -x c++ -E -v -o /dev/null /dev/null)
string(REGEX MATCH "#include <\\.\\.\\.> search starts here:\n(.*)\nEnd of search list"
       search_block "${search_ERR}")
string(REPLACE "\n" ";" search_dirs "${CMAKE_MATCH_1}")
set(cxx_dirs "")
foreach(dir IN LISTS search_dirs)
  string(STRIP "${dir}" dir)
  if(dir MATCHES "/include/c\\+\\+")
    get_filename_component(dir ${dir} REALPATH)
    list(APPEND cxx_dirs ${dir})
  endif()
endforeach()
if(NOT cxx_dirs)
  message(FATAL_ERROR "no libstdc++ headers in the search list of ${DEVICERPC_MINGW_GXX}")
endif()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${cxx_dirs})

set(CMAKE_SYSROOT ${DEVICERPC_MINGW_SYSROOT})
# -pthread links winpthread, as the posix GCC does by itself; lld is LLVM's
# linker for the same COFF objects and import libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -pthread -B${DEVICERPC_MINGW_RUNTIME_DIR} -L${DEVICERPC_MINGW_RUNTIME_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${CMAKE_EXE_LINKER_FLAGS_INIT})

set(CMAKE_FIND_ROOT_PATH ${DEVICERPC_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine on the build machine.
# Without address randomization: Debian's Wine loader has no preloader, and
# about one start in 5,000 the kernel puts its heap over the page Wine must
# map at 0x7ffe0000, so the program exits with code 1 before it runs.
set(CMAKE_CROSSCOMPILING_EMULATOR setarch -R /usr/lib/wine/wine64)
