# 32-bit x86 Linux with the native GCC in -m32 mode (Debian: g++-multilib,
# whose 32-bit C and C++ runtimes include /lib/ld-linux.so.2).  The x86_64
# kernel runs 32-bit programs directly (IA-32 emulation), so the tests and
# the programs they start run natively, beside the 64-bit simulator.  A
# kernel that boots with that emulation off does not: TAVLIB_I686_EMULATOR
# (qemu-i386-static, set by scripts/i686-tests.sh then) runs the tests, and
# the programs they start go through it too (TAVLIB_TEST_EMULATOR).
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

if(TAVLIB_I686_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVLIB_I686_EMULATOR})
endif()
