# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (posix thread model: GoogleTest
# needs std::mutex and std::thread, which the win32 model lacks in GCC 12). Test programs run under
# Wine:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# scripts/test-windows.sh builds and tests this way.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QID3_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QID3_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QID3_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QID3_MINGW_PREFIX}-windres)

# Headers and libraries come from the mingw-w64 tree only; programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QID3_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config likewise sees only packages built for Windows, never the host's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${QID3_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# CTest starts every test program through Wine, with its own prefix inside the build folder so that
# runs do not share state with the user's ~/.wine. winedbg is disabled so that a crashing program
# ends with a non-zero status instead of waiting in the debugger; mscoree and mshtml are disabled
# so that creating the prefix does not try to install Mono and Gecko.
find_program(QID3_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QID3_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      WINEDLLOVERRIDES=winedbg.exe,mscoree,mshtml=d ${QID3_WINE})
endif()
