// The one header through which the system reaches every Windows service it uses.
//
// On Windows it includes the Windows SDK headers. Elsewhere it declares the
// Linux stand-in: our own types, constants and functions under the Windows
// names and signatures, implemented by the win32_standin library.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <conio.h>
#include <setupapi.h>
#include <cfgmgr32.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#else

#include "standin/win32_types.h"
#include "standin/win32_kernel.h"
#include "standin/win32_hid.h"
#include "standin/win32_crt.h"

#endif
