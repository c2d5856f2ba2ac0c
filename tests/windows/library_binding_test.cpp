// The device access library against Windows' own HID, SetupAPI and
// configuration-manager DLLs, on a machine without boards.
#include <gtest/gtest.h>

#include <string.h>

#include "library_state.h"

namespace {

// The HID device interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
const GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

const char* const kSystemModules[] = {"hid.dll", "setupapi.dll", "cfgmgr32.dll"};

TEST(LibraryOnWindows, StartsWithoutBoardsAndReleasesTheSystemModules) {
    for (const char* module : kSystemModules) ASSERT_EQ(GetModuleHandleA(module), nullptr) << module;

    // A failed binding would leave ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND.
    SetLastError(ERROR_GEN_FAILURE);
    const DeviceHandle first = OpenAllDevices();
    const DWORD error = GetLastError();
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ClaimedDeviceCount(), 0u);
    for (const char* module : kSystemModules) EXPECT_NE(GetModuleHandleA(module), nullptr) << module;

    // The bound function is the system's own, and callable.
    ASSERT_NE(g_library.binding.HidD_GetHidGuid, nullptr);
    GUID hidClass;
    memset(&hidClass, 0, sizeof hidClass);
    g_library.binding.HidD_GetHidGuid(&hidClass);
    EXPECT_EQ(memcmp(&hidClass, &kHidInterfaceClass, sizeof hidClass), 0);

    CloseAllDevices(nullptr);
    for (const char* module : kSystemModules) EXPECT_EQ(GetModuleHandleA(module), nullptr) << module;
    EXPECT_EQ(g_library.binding.HidD_GetHidGuid, nullptr);
}

}  // namespace
