// The simulated setupapi.dll: the HID device interfaces of the simulated boards.
//
// A device information set is a snapshot of the interfaces of the boards present
// when SetupDiGetClassDevsA was called, in the order the boards were described
// and, within a board, by interface number.
#define _SETUPAPI_
#include <stddef.h>

#include "device_list_view.h"

#include <setupapi.h>

using namespace simulated_system;

namespace {

// The HID device interface class, and the HID device setup class that
// SP_DEVINFO_DATA carries, as Windows numbers them.
constexpr GUID kHidInterfaceClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kHidSetupClass{0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

constexpr DWORD kSetMagic = 0x53445356;  // "VSDS"

struct DeviceInfoSet {
    DWORD magic;
    std::uint32_t count;
    std::uint32_t interfaces[1];  // `count` indices into the device list's interfaces
};

bool sameGuid(const GUID& a, const GUID& b) { return IsEqualGUID(a, b) != 0; }

template <typename T>
T failWith(DWORD error) {
    SetLastError(error);
    return T{};
}

DeviceInfoSet* setOf(HDEVINFO handle) {
    auto* set = static_cast<DeviceInfoSet*>(handle);
    if (set == nullptr || handle == INVALID_HANDLE_VALUE || set->magic != kSetMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return set;
}

}  // namespace

extern "C" {

// Only device interface sets are offered, of the HID class or of all classes;
// boards are listed while present, so DIGCF_PRESENT changes nothing. Filtering by
// enumerator is not offered.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
    const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    if ((ClassGuid == nullptr && !allClasses) || Enumerator != nullptr) {
        SetLastError(Enumerator != nullptr ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const DeviceList& list = deviceList();
    const size_t bytes = offsetof(DeviceInfoSet, interfaces) + (list.interfaceCount + 1) * sizeof(std::uint32_t);
    auto* set = static_cast<DeviceInfoSet*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    set->magic = kSetMagic;
    if (allClasses || sameGuid(*ClassGuid, kHidInterfaceClass)) {
        for (std::uint32_t i = 0; i < list.interfaceCount; ++i) {
            if (isPresent(list.interfaces[i].board)) set->interfaces[set->count++] = i;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return set;
}

// The interface data's Reserved field holds the interface's position in its set,
// counted from 1.
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    const ::DeviceInfoSet* set = setOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) return failWith<BOOL>(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        return failWith<BOOL>(ERROR_INVALID_USER_BUFFER);
    }
    if (!sameGuid(*InterfaceClassGuid, kHidInterfaceClass)) return failWith<BOOL>(ERROR_NO_MORE_ITEMS);
    const DeviceList& list = deviceList();
    DWORD seen = 0;
    for (std::uint32_t position = 0; position < set->count; ++position) {
        const device_list::Interface& entry = list.interfaces[set->interfaces[position]];
        if (DeviceInfoData != nullptr && device_list::hidInterfaceNode(entry.board, entry.number) != DeviceInfoData->DevInst) {
            continue;
        }
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = kHidInterfaceClass;
        DeviceInterfaceData->Flags = SPINT_ACTIVE;
        DeviceInterfaceData->Reserved = position + 1;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return failWith<BOOL>(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    const ::DeviceInfoSet* set = setOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->count) {
        return failWith<BOOL>(ERROR_INVALID_PARAMETER);
    }
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (DeviceInterfaceDetailData == nullptr
            ? DeviceInterfaceDetailDataSize != 0
            : DeviceInterfaceDetailDataSize < kPathOffset + 1 ||
                  DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return failWith<BOOL>(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return failWith<BOOL>(ERROR_INVALID_USER_BUFFER);
    }
    const device_list::Interface& entry = deviceList().interfaces[set->interfaces[DeviceInterfaceData->Reserved - 1]];
    const DWORD pathBytes = static_cast<DWORD>(lstrlenA(entry.pipePath)) + 1;
    const DWORD required = kPathOffset + pathBytes;
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInfoData != nullptr) {
        DeviceInfoData->ClassGuid = kHidSetupClass;
        DeviceInfoData->DevInst = device_list::hidInterfaceNode(entry.board, entry.number);
        DeviceInfoData->Reserved = 0;
    }
    if (DeviceInterfaceDetailDataSize < required) return failWith<BOOL>(ERROR_INSUFFICIENT_BUFFER);
    CopyMemory(DeviceInterfaceDetailData->DevicePath, entry.pipePath, pathBytes);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    ::DeviceInfoSet* set = setOf(DeviceInfoSet);
    if (set == nullptr) return FALSE;
    set->magic = 0;
    HeapFree(GetProcessHeap(), 0, set);
    return TRUE;
}

}  // extern "C"
