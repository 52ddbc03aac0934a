# Cross-build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# Test programs run under wine64 (CMAKE_CROSSCOMPILING_EMULATOR), so ctest works as usual.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(OSTREL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian installs the 64-bit loader outside PATH. Test programs run with their own Wine
# prefix under the build directory, quietly and without the Mono/Gecko installers' prompts.
find_program(OSTREL_WINE64 NAMES wine64 HINTS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(OSTREL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEARCH=win64 WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= ${OSTREL_WINE64})
endif()
