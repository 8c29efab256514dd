# Cross-compiling for 32-bit x86 Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-i686-win32, binutils-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KL_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KL_MINGW_PREFIX}-gcc ${KL_MINGW_PREFIX}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KL_MINGW_PREFIX}-g++ ${KL_MINGW_PREFIX}-g++-win32 REQUIRED)

# Nothing is taken from the toolchain's own libraries or headers beyond the
# compiler's freestanding ones.
set(CMAKE_FIND_ROOT_PATH /usr/${KL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
