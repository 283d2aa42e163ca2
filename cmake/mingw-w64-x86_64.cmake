# Cross-compiles for 64-bit Windows with MinGW-w64 and runs what it builds under Wine:
#   bash scripts/install-deps.sh windows && bash scripts/build-windows-deps.sh
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Boost and OpenSSL come from build-windows-deps/prefix of this checkout, or from
# HANDOVER_WINDOWS_DEPS_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_handover_host x86_64-w64-mingw32)
# The posix-threads variant: std::thread needs it, and it matches how the deps were built.
set(CMAKE_C_COMPILER ${_handover_host}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_handover_host}-g++-posix)
set(CMAKE_RC_COMPILER ${_handover_host}-windres)
# Named outright: CMake cannot derive the binutils prefix from a compiler name ending in -posix.
set(CMAKE_AR ${_handover_host}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_handover_host}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${_handover_host}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP ${_handover_host}-strip CACHE FILEPATH "")

if(NOT DEFINED HANDOVER_WINDOWS_DEPS_PREFIX)
  get_filename_component(HANDOVER_WINDOWS_DEPS_PREFIX
    "${CMAKE_CURRENT_LIST_DIR}/../build-windows-deps/prefix" ABSOLUTE)
endif()
# try_compile projects load this file again and must see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HANDOVER_WINDOWS_DEPS_PREFIX)

# Headers and libraries only from the deps prefix and the MinGW sysroot, never from the
# host's /usr; programs (compilers, Wine) from the host.
set(CMAKE_FIND_ROOT_PATH "${HANDOVER_WINDOWS_DEPS_PREFIX}" /usr/${_handover_host})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs must run on a bare Windows: -static links libstdc++, libgcc and winpthread
# in, so only Windows' own DLLs are imported. No link time stamp, so that the same sources
# give the same executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
# Boost's headers record __FILE__ in the exceptions they throw; name them from the prefix's
# include folder, as the system headers are, and not by this checkout's path.
set(CMAKE_C_FLAGS_INIT "-fmacro-prefix-map=${HANDOVER_WINDOWS_DEPS_PREFIX}/include/=")
set(CMAKE_CXX_FLAGS_INIT "-fmacro-prefix-map=${HANDOVER_WINDOWS_DEPS_PREFIX}/include/=")

# add_test, gtest_discover_tests and friends run the Windows programs through Wine.
get_filename_component(_handover_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_handover_wine_run}")
