// The simulated system libraries' view of the boards a simulator serves: the
// device list it published (board_simulator/windows_device_list.h), found through
// the environment of the process.
#pragma once

#include <windows.h>

#include "board_simulator/windows_device_list.h"

namespace simulated_system {

namespace device_list = board_simulator::windows_device_list;

struct DeviceList {
    std::uint32_t boardCount = 0;
    std::uint32_t interfaceCount = 0;
    const device_list::Board* boards = nullptr;
    const device_list::Interface* interfaces = nullptr;
};

// The list of this process's simulator; empty when no simulator serves it, which
// looks like a machine without boards.
const DeviceList& deviceList();

bool isPresent(std::uint32_t board);

// The interface whose pipe `file` is open on; null, with `error` set, when it is
// not a simulated interface (ERROR_INVALID_FUNCTION) or its board has gone
// (ERROR_DEVICE_NOT_CONNECTED).
const device_list::Interface* interfaceOf(HANDLE file, DWORD& error);

}  // namespace simulated_system
