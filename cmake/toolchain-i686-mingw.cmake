# Cross build for Windows 32-bit (i686) with Debian's mingw-w64 compilers.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake \
#         -DVELK_DEPS_ROOT=<folder that scripts/build-windows.sh filled>
#
# The posix-threads variant of the compilers is required: the win32 one has no std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELK_MINGW_HOST i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELK_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELK_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${VELK_MINGW_HOST}-windres)

# -O2, not the -O3 of the Linux Release build: at -O3 GCC 12 inlines vector inserts far enough
# to warn falsely about array bounds, and warnings are errors on our own code. -g: the release
# zip's binaries are stripped, and their symbols go into the debug zip (scripts/build-windows.sh).
set(CMAKE_C_FLAGS_RELEASE "-O2 -g -DNDEBUG" CACHE STRING "Flags for Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -g -DNDEBUG" CACHE STRING "Flags for Release builds")

# GCC 12 (PR 107852) warns falsely about a memcpy out of bounds when bytes are appended to a
# vector that was just built from an initializer list; for i686 it does so at -O2 as well, in
# ordinary code that the Linux build compiles cleanly. The warning stays visible here but does
# not stop the build; the Linux build keeps it an error.
set(CMAKE_CXX_FLAGS_INIT "-Wno-error=array-bounds")

# The dependency cache may come from the cache variable or, for nested builds that only see the
# environment, from VELK_WIN_DEPS.
if(NOT VELK_DEPS_ROOT AND DEFINED ENV{VELK_WIN_DEPS})
  set(VELK_DEPS_ROOT $ENV{VELK_WIN_DEPS})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELK_DEPS_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${VELK_MINGW_HOST} ${VELK_DEPS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What ships (velk.dll, drovin.exe, velkctl.exe) and what the tests run must need nothing but
# libusb-1.0.dll and system DLLs, so the compiler's own runtime (libstdc++, libgcc, winpthread)
# is linked in statically. "-static" and not "-Wl,-Bstatic -lwinpthread": flags come before the
# objects on the link line, and the driver's own -lpthread at the end would pick the DLL again.
# Import libraries named by full path (libusb-1.0.dll.a, velk.dll.a) still link dynamically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Programs and DLLs side by side, so that a program finds the DLLs it was linked with.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# ctest runs the test programs through Wine when it is there.
find_program(VELK_WINE wine)
if(VELK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELK_WINE})
endif()
