# Cross-compiling the 32-bit Windows programs with Debian's mingw-w64 (the posix-thread compilers,
# whose winpthreads serve the POSIX threads the system uses), runtime linked statically so no
# compiler DLL has to sit beside the programs, and run through Wine by ctest.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DKVLB_WIN_DEPS=<folder> ...
#
# KVLB_WIN_DEPS (or the environment variable of that name) is the folder scripts/build-win-deps.sh
# prints: the static libmicrohttpd, GnuTLS, nettle, gmp, libtasn1, GoogleTest and jsmn.h.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KVLB_MINGW_HOST i686-w64-mingw32)

set(CMAKE_C_COMPILER ${KVLB_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVLB_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${KVLB_MINGW_HOST}-windres)
# The "-posix" suffix hides the binutils prefix from CMake's own guess.
find_program(CMAKE_AR ${KVLB_MINGW_HOST}-ar REQUIRED)
find_program(CMAKE_RANLIB ${KVLB_MINGW_HOST}-ranlib REQUIRED)
find_program(CMAKE_OBJDUMP ${KVLB_MINGW_HOST}-objdump)
find_program(CMAKE_STRIP ${KVLB_MINGW_HOST}-strip)
# The shipped files are split into the stripped file and its debug file (kvlb_shipped).
find_program(CMAKE_OBJCOPY ${KVLB_MINGW_HOST}-objcopy REQUIRED)

# The programs run on Windows XP SP3 and later. The headers declare only what XP has, so a call
# that XP lacks does not compile; the PE files carry 5.1 as their subsystem and OS versions.
set(KVLB_WINVER 0x0501)
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=${KVLB_WINVER} -DWINVER=${KVLB_WINVER}")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=${KVLB_WINVER} -DWINVER=${KVLB_WINVER}")
set(CMAKE_RC_FLAGS_INIT "-D_WIN32_WINNT=${KVLB_WINVER} -DWINVER=${KVLB_WINVER}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ \
-Wl,--major-subsystem-version,5,--minor-subsystem-version,1,--major-os-version,5,--minor-os-version,1")
endforeach()

if(NOT KVLB_WIN_DEPS AND DEFINED ENV{KVLB_WIN_DEPS})
  set(KVLB_WIN_DEPS "$ENV{KVLB_WIN_DEPS}")
endif()
set(KVLB_WIN_DEPS "${KVLB_WIN_DEPS}" CACHE PATH "Cross-built static dependencies (scripts/build-win-deps.sh)")
# try_compile projects load this file again and need the same value.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KVLB_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${KVLB_MINGW_HOST})
if(KVLB_WIN_DEPS)
  # The folder's winpthreads (built for XP) ahead of the compiler's own, for the driver's -lpthread.
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -L${KVLB_WIN_DEPS}/lib")
  endforeach()
  list(PREPEND CMAKE_FIND_ROOT_PATH "${KVLB_WIN_DEPS}")
  # pkg-config sees the cross-built .pc files only, never the machine's own.
  set(ENV{PKG_CONFIG_LIBDIR} "${KVLB_WIN_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the test programs through Wine; the caller sets up the prefix (scripts/wine-env.sh).
find_program(KVLB_WINE wine)
if(KVLB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KVLB_WINE}")
endif()
