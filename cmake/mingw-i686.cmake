# The 32-bit Windows target, built with mingw-w64 and run under wine:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# scripts/test-windows does this, after building the libraries that Debian does
# not package for mingw-w64 into build-win32/deps.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The posix flavour: std::thread, std::mutex and pthreads (winpthreads).
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Programs of the build run under wine, in the build's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

set(OSTREL_WIN32_DEPS ${CMAKE_CURRENT_LIST_DIR}/../build-win32/deps CACHE PATH
    "Libraries built for the Windows target (googletest, the XML library, minizip)")
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${OSTREL_WIN32_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Vista's API (WSAPoll, GetFinalPathNameByHandleW, the wide path calls);
# 64-bit off_t and time_t, which i686 otherwise keeps at 32 bits (files over
# 2 GiB, dates after 2038); the POSIX extras of the mingw-w64 runtime that
# g++ on Linux declares by default (vasprintf, localtime_r).
set(OSTREL_WIN32_DEFINES "-D_WIN32_WINNT=0x0600 -DWINVER=0x0600 -D_FILE_OFFSET_BITS=64 -D__MINGW_USE_VC2005_COMPAT \
-D_GNU_SOURCE -D_POSIX_THREAD_SAFE_FUNCTIONS=200112L")
set(CMAKE_C_FLAGS_INIT "${OSTREL_WIN32_DEFINES}")
set(CMAKE_CXX_FLAGS_INIT "${OSTREL_WIN32_DEFINES}")
# Static runtime, so that every program and DLL imports system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
