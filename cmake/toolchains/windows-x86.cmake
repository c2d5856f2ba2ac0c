# 32-bit Windows (i686), the architecture of the shipped utility. Its programs
# cannot run on the build machine, so this build is compiled and linked only.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VANTREL_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
