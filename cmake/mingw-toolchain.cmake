# Cross build for 64-bit Windows with mingw-w64 (Debian's posix-thread
# variant, which has std::thread and std::mutex). ctest runs the Windows test
# programs under Wine through the emulator setting.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-toolchain.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SCRIBE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SCRIBE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SCRIBE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SCRIBE_MINGW_PREFIX}-windres)

# Search programs on the build machine, libraries and headers only in the
# mingw sysroot (never /usr/include: it shadows the mingw headers).
set(CMAKE_FIND_ROOT_PATH /usr/${SCRIBE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without Wine the binaries still build; only ctest needs it.
find_program(SCRIBE_WINE wine)
if(SCRIBE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SCRIBE_WINE})
endif()
