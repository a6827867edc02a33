# 32-bit Windows console programs with Debian's MinGW-w64 cross compiler (the
# posix threads variant, which std::thread and std::mutex need).
#   cmake -S . -B build-win32 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
#     -DCMAKE_PREFIX_PATH=<GoogleTest built for the target>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZENTO_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZENTO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZENTO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZENTO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${ZENTO_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZENTO_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and packages of the target only; programs of the build machine.
# The prefixes in CMAKE_PREFIX_PATH (GoogleTest built for the target) are
# searched as they are.
set(CMAKE_FIND_ROOT_PATH /usr/${ZENTO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Floating point in SSE2 registers, as on x86-64: with the x87 unit a float
# computation keeps 80 bits until stored, and the console's percentages,
# worked out in single precision, would round differently from Linux's.
# Every processor that runs Windows 8 or later has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# The programs run on a bare Windows machine: the C++ runtime, libgcc and the
# threads library are linked in, not taken from DLLs beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and programs run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
