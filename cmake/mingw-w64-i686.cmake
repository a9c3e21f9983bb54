# Cross-compiles for 32-bit Windows (x86) with the Debian mingw-w64
# toolchain. The binaries are PE32 for i386; they cannot run here (the
# kernel refuses 32-bit programs, so 32-bit Wine cannot start) and are
# checked statically instead (scripts/check-windows-x86.sh).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELLOX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
