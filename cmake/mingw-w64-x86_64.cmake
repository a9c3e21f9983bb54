# Cross-compiles for 64-bit Windows with the Debian mingw-w64 toolchain
# (packages mingw-w64; the Windows programs run under wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELLOX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
