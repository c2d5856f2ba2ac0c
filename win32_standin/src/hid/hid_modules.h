// The HID, SetupAPI and configuration-manager modules of the stand-in, and the
// device opener for their device paths; both are entered by the module registry
// and the file I/O machinery when they are first used.
#pragma once

#include <vector>

#include "kernel.h"
#include "standin/device_file.h"

namespace standin::hid {

std::vector<BuiltinModuleDefinition> hidModules();
DeviceOpener hidNodeOpener();

}  // namespace standin::hid
