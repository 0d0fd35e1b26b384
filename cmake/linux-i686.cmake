# 32-bit x86 Linux with the native GCC in -m32 mode (Debian: g++-multilib).
# This kernel runs 64-bit programs only, so the build's programs run under
# user-mode emulation: CMake starts tests (and gtest discovery) through
# CMAKE_CROSSCOMPILING_EMULATOR, and tests that start programs of this build
# themselves put the emulator in front (TAVLIB_TEST_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(TAVLIB_QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVLIB_QEMU_I386})
