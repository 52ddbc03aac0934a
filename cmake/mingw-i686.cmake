# Cross-build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
# The "-posix" compilers: std::mutex and std::thread need the winpthreads threading model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(OSTREL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
