# 32-bit Linux (i386) with the host's GCC and -m32 (Debian g++-multilib),
# libraries from Debian's i386 architecture (libtiff-dev:i386,
# libgtest-dev:i386). This kernel refuses to execute 32-bit programs, so
# CTest runs every test program (and GoogleTest's test discovery) through
# qemu-i386-static (Debian qemu-user-static). scripts/test-linux32.sh
# installs all of it and runs the suite.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# 64-bit file offsets (off_t, lseek, pread, copy_file_range): without them a
# 32-bit build cannot open files of 2 GiB or more.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and packages of the i386 architecture only; programs (and
# headers, which Debian shares between architectures) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)

# qemu-user's own dynamic loader search uses the i386 libraries of the
# multiarch layout (/lib/ld-linux.so.2, /usr/lib/i386-linux-gnu).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386-static)
