# 64-bit Windows (x86_64). Its programs, the tests among them, run on the build
# machine under Wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VANTREL_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Wine runs the programs in a private prefix under the build folder, with its own
# diagnostics off; the Mono and Gecko add-ons are not installed into the prefix
# (nothing here needs .NET or HTML), which keeps its creation short and offline.
find_program(VANTREL_WINE NAMES wine64 wine HINTS /usr/lib/wine REQUIRED)
set(VANTREL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${VANTREL_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    ${VANTREL_WINE})
