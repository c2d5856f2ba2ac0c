# Shared part of the Windows cross toolchains (mingw-w64 on Debian). The including
# file sets VANTREL_MINGW_TARGET (the GNU target triplet) and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model, named explicitly rather than through the alternatives
# that pick the default compiler: GCC 12's libstdc++ has std::thread, std::mutex
# and std::condition_variable only in this model (on winpthreads), and the tests
# use them.
set(CMAKE_C_COMPILER ${VANTREL_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTREL_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTREL_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTREL_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static runtime (libgcc, libstdc++ and winpthreads linked in), so that every
# program needs nothing but the DLLs of a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
