# Settings shared by the mingw-w64 toolchain files; each of them sets
# CMAKE_SYSTEM_PROCESSOR and VELLOX_MINGW_TRIPLE first, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

# The compilers of the POSIX thread model: the default (win32) one has no
# std::thread or std::mutex, which the command line's batch mode uses.
# winpthread is linked in statically like the rest of the runtime.
set(CMAKE_C_COMPILER ${VELLOX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLOX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLOX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELLOX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 API level: RegDeleteTreeW, GetFileVersionInfoExW and friends.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DUNICODE -D_UNICODE")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DUNICODE -D_UNICODE")

# Everything the compiler brings (libgcc, libstdc++, winpthread) is linked
# in, so the binaries import only DLLs that come with Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# zlib (Debian's libz-mingw-w64-dev) too: FindZLIB takes libz.a, not the
# import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

# -O2 rather than -O3: GCC 12 reports false -Wrestrict errors in inlined
# std::string code at -O3 (GCC bug 105329), which -Werror turns fatal.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "C++ compiler flags of Release builds")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "C compiler flags of Release builds")
