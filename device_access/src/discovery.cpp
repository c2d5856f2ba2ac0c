// Run-time binding of the HID, SetupAPI and configuration-manager functions, and
// the scan that finds the boards, groups each board's two HID interfaces into one
// record, opens and starts both pipes and announces the board.
#include <stddef.h>
#include <string.h>

#include "library_state.h"

namespace {

const USHORT kAcceptedVendors[] = {0x1FD1, 0x07C0};
const USHORT kAcceptedProducts[] = {0x03E8, 0x03EA, 0x1583};

// HidD_GetAttributes is given the size of the fields it fills, without the
// structure's trailing padding.
const ULONG kAttributesSize = offsetof(HIDD_ATTRIBUTES, VersionNumber) + sizeof(USHORT);

const ULONG kSerialBytes = SERIAL_NUMBER_UNITS * sizeof(WCHAR);
const ULONG kIndexedStringBytes = 512;

template <typename Function>
BOOL LookUp(HMODULE module, const char* name, Function* entry) {
    FARPROC address = GetProcAddress(module, name);
    // Through the generic function pointer type, which converts to any other.
    *entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return address != NULL;
}

BOOL IsAccepted(USHORT value, const USHORT* accepted, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (accepted[i] == value) return TRUE;
    }
    return FALSE;
}

void FreeHeapBlock(void* block) {
    if (block != NULL) HeapFree(g_library.heap, 0, block);
}

BOOL IsOpenFile(HANDLE file) { return file != NULL && file != INVALID_HANDLE_VALUE; }

void CloseFileIfOpen(HANDLE* file) {
    if (IsOpenFile(*file)) CloseHandle(*file);
    *file = NULL;
}

PSP_DEVICE_INTERFACE_DETAIL_DATA_A GetInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                      PSP_DEVINFO_DATA deviceInfo) {
    const SystemFunctions* system = &g_library.binding;
    DWORD required = 0;
    system->SetupDiGetDeviceInterfaceDetailA(set, interfaceData, NULL, 0, &required, NULL);
    if (required == 0) return NULL;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(HeapAlloc(g_library.heap, 0, required));
    if (detail == NULL) return NULL;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    // An interface whose path can't be had would leave its pipe without one.
    if (!system->SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, required, NULL, deviceInfo)) {
        FreeHeapBlock(detail);
        return NULL;
    }
    return detail;
}

BOOL IsSupportedDevice(HANDLE file, HIDD_ATTRIBUTES* attributes) {
    attributes->Size = kAttributesSize;
    if (!g_library.binding.HidD_GetAttributes(file, attributes)) return FALSE;
    return IsAccepted(attributes->VendorID, kAcceptedVendors, sizeof kAcceptedVendors / sizeof *kAcceptedVendors) &&
           IsAccepted(attributes->ProductID, kAcceptedProducts, sizeof kAcceptedProducts / sizeof *kAcceptedProducts);
}

// An interface whose capabilities can't be read never reaches a pipe.
BOOL ReadCapabilities(HANDLE file, HIDP_CAPS* caps) {
    const SystemFunctions* system = &g_library.binding;
    PHIDP_PREPARSED_DATA preparsed = NULL;
    if (!system->HidD_GetPreparsedData(file, &preparsed)) return FALSE;
    memset(caps, 0, sizeof *caps);
    const NTSTATUS status = system->HidP_GetCaps(preparsed, caps);
    system->HidD_FreePreparsedData(preparsed);
    return status == HIDP_STATUS_SUCCESS;
}

// The group key is the grandparent device node; an interface whose parents can't
// both be had has none and is skipped (result FALSE).
BOOL FindOrCreateDeviceRecord(DEVINST deviceInstance, DeviceRecord** list, DeviceRecord** found) {
    *found = NULL;
    DEVINST parent = 0;
    DEVINST grandparent = 0;
    if (g_library.binding.CM_Get_Parent(&parent, deviceInstance, 0) != CR_SUCCESS ||
        g_library.binding.CM_Get_Parent(&grandparent, parent, 0) != CR_SUCCESS) {
        return FALSE;
    }
    for (DeviceRecord* record = *list; record != NULL; record = record->next) {
        if (record->groupKey == grandparent) {
            *found = record;
            return TRUE;
        }
    }
    DeviceRecord* record = static_cast<DeviceRecord*>(HeapAlloc(g_library.heap, HEAP_ZERO_MEMORY, sizeof(DeviceRecord)));
    if (record == NULL) return FALSE;
    record->groupKey = grandparent;
    record->next = *list;
    *list = record;
    *found = record;
    return TRUE;
}

// A serial number equal to string 0 (the language list) is no serial number. The
// field always ends with a zero unit, so a longer serial is cut to 8 characters.
void ReadSerialNumber(HANDLE file, DeviceRecord* record) {
    const SystemFunctions* system = &g_library.binding;
    memset(record->serial, 0, sizeof record->serial);
    if (system->HidD_GetSerialNumberString(file, record->serial, kSerialBytes)) {
        BYTE indexedString[kIndexedStringBytes];
        memset(indexedString, 0, sizeof indexedString);
        system->HidD_GetIndexedString(file, 0, indexedString, sizeof indexedString);
        if (memcmp(record->serial, indexedString, kSerialBytes) == 0) {
            memset(record->serial, 0, sizeof record->serial);
        }
    }
    record->serial[SERIAL_NUMBER_UNITS - 1] = 0;
}

HANDLE OpenInterface(const char* path, DWORD access, DWORD flags) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, flags, NULL);
}

// Examines one enumerated interface and, if it belongs to a board, files it into
// that board's record. The detail buffer is kept by the pipe or freed.
void CollectInterface(PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DEVINST deviceInstance, DeviceRecord** list) {
    HANDLE file = OpenInterface(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0);
    if (file == INVALID_HANDLE_VALUE) file = OpenInterface(detail->DevicePath, 0, 0);
    if (file == INVALID_HANDLE_VALUE) {
        FreeHeapBlock(detail);
        return;
    }
    HIDD_ATTRIBUTES attributes;
    HIDP_CAPS caps;
    DeviceRecord* record = NULL;
    if (!IsSupportedDevice(file, &attributes) || !ReadCapabilities(file, &caps) ||
        !FindOrCreateDeviceRecord(deviceInstance, list, &record)) {
        FreeHeapBlock(detail);
        CloseHandle(file);
        return;
    }
    record->magic = DEVICE_MAGIC_LIVE;
    record->modeStamp = g_library.mode;
    ++record->interfaceCount;

    PipeState* pipe = &record->pipes[caps.OutputReportByteLength == PIPE0_OUTPUT_REPORT_BYTES ? 0 : 1];
    // A second interface for the same pipe leaves the other pipe without one; the
    // record is then dropped at the end of the enumeration.
    FreeHeapBlock(pipe->interfaceDetail);
    pipe->attributes = attributes;
    pipe->caps = caps;
    pipe->interfaceDetail = detail;

    ReadSerialNumber(file, record);
    record->readTimeout = INFINITE;
    record->writeTimeout = INFINITE;
    CloseHandle(file);
}

BOOL HasOneInterfacePerPipe(const DeviceRecord* record) {
    return record->interfaceCount == 2 && record->pipes[0].interfaceDetail != NULL &&
           record->pipes[1].interfaceDetail != NULL;
}

// Opens one pipe's files and starts it; TRUE when both opens and the start succeeded.
BOOL OpenAndStartPipe(DeviceRecord* record, DWORD pipeIndex) {
    PipeState* pipe = &record->pipes[pipeIndex];
    memset(pipe->ring.slots, 0, sizeof pipe->ring.slots);
    const char* path = pipe->interfaceDetail->DevicePath;
    pipe->readFile = OpenInterface(path, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    pipe->writeFile = OpenInterface(path, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    if (!IsOpenFile(pipe->readFile) || !IsOpenFile(pipe->writeFile)) return FALSE;
    g_library.binding.HidD_SetNumInputBuffers(pipe->readFile, INPUT_BUFFERS_PER_READ_HANDLE);
    return StartPipe(record, pipeIndex) == 1;
}

}  // namespace

BOOL BindSystemFunctions(void) {
    SystemFunctions* system = &g_library.binding;
    system->hidModule = LoadLibraryA("hid.dll");
    DWORD error = system->hidModule == NULL ? GetLastError() : ERROR_SUCCESS;
    system->cfgmgrModule = LoadLibraryA("cfgmgr32.dll");
    if (system->cfgmgrModule == NULL) error = GetLastError();
    system->setupapiModule = LoadLibraryA("setupapi.dll");
    if (system->setupapiModule == NULL) error = GetLastError();

    if (error == ERROR_SUCCESS) {
        HMODULE hid = system->hidModule;
        HMODULE setupapi = system->setupapiModule;
        const BOOL bound = LookUp(hid, "HidD_GetAttributes", &system->HidD_GetAttributes) &&
                           LookUp(hid, "HidD_GetHidGuid", &system->HidD_GetHidGuid) &&
                           LookUp(hid, "HidD_GetPreparsedData", &system->HidD_GetPreparsedData) &&
                           LookUp(hid, "HidP_GetCaps", &system->HidP_GetCaps) &&
                           LookUp(hid, "HidD_FreePreparsedData", &system->HidD_FreePreparsedData) &&
                           LookUp(hid, "HidD_GetNumInputBuffers", &system->HidD_GetNumInputBuffers) &&
                           LookUp(hid, "HidD_SetNumInputBuffers", &system->HidD_SetNumInputBuffers) &&
                           LookUp(hid, "HidD_GetSerialNumberString", &system->HidD_GetSerialNumberString) &&
                           LookUp(hid, "HidD_GetIndexedString", &system->HidD_GetIndexedString) &&
                           LookUp(system->cfgmgrModule, "CM_Get_Parent", &system->CM_Get_Parent) &&
                           LookUp(setupapi, "SetupDiGetDeviceInterfaceDetailA",
                                  &system->SetupDiGetDeviceInterfaceDetailA) &&
                           LookUp(setupapi, "SetupDiGetClassDevsA", &system->SetupDiGetClassDevsA) &&
                           LookUp(setupapi, "SetupDiEnumDeviceInterfaces", &system->SetupDiEnumDeviceInterfaces) &&
                           LookUp(setupapi, "SetupDiDestroyDeviceInfoList", &system->SetupDiDestroyDeviceInfoList);
        if (bound) return TRUE;
        error = GetLastError();
    }
    UnbindSystemFunctions();
    SetLastError(error);
    return FALSE;
}

void UnbindSystemFunctions(void) {
    SystemFunctions* system = &g_library.binding;
    // FreeLibrary may change the thread's last-error code; a failed binding reports
    // the error of its failed step.
    const DWORD error = GetLastError();
    if (system->hidModule != NULL) FreeLibrary(system->hidModule);
    if (system->cfgmgrModule != NULL) FreeLibrary(system->cfgmgrModule);
    if (system->setupapiModule != NULL) FreeLibrary(system->setupapiModule);
    memset(system, 0, sizeof *system);
    SetLastError(error);
}

DWORD EnumerateHidDevices(DeviceRecord** list) {
    const SystemFunctions* system = &g_library.binding;
    *list = NULL;
    GUID hidGuid;
    system->HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = system->SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;

    for (DWORD memberIndex = 0;; ++memberIndex) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        memset(&interfaceData, 0, sizeof interfaceData);
        interfaceData.cbSize = sizeof interfaceData;
        if (!system->SetupDiEnumDeviceInterfaces(set, NULL, &hidGuid, memberIndex, &interfaceData)) break;
        SP_DEVINFO_DATA deviceInfo;
        memset(&deviceInfo, 0, sizeof deviceInfo);
        deviceInfo.cbSize = sizeof deviceInfo;
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = GetInterfaceDetail(set, &interfaceData, &deviceInfo);
        if (detail != NULL) CollectInterface(detail, deviceInfo.DevInst, list);
    }
    system->SetupDiDestroyDeviceInfoList(set);

    DWORD complete = 0;
    DeviceRecord* record = *list;
    while (record != NULL) {
        DeviceRecord* next = record->next;
        if (HasOneInterfacePerPipe(record)) {
            ++complete;
        } else {
            RemoveDeviceRecord(list, record);
        }
        record = next;
    }
    return complete;
}

void TeardownDeviceRecord(DeviceRecord* record) {
    for (DWORD pipeIndex = 0; pipeIndex < PIPE_COUNT; ++pipeIndex) {
        PipeState* pipe = &record->pipes[pipeIndex];
        StopPipe(record, pipeIndex);
        CloseFileIfOpen(&pipe->readFile);
        CloseFileIfOpen(&pipe->writeFile);
        FreeHeapBlock(pipe->interfaceDetail);
        pipe->interfaceDetail = NULL;
    }
    record->magic = DEVICE_MAGIC_GONE;
}

void RemoveDeviceRecord(DeviceRecord** list, DeviceRecord* record) {
    for (DeviceRecord** link = list; *link != NULL; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            TeardownDeviceRecord(record);
            FreeHeapBlock(record);
            return;
        }
    }
}

void FreeDeviceList(DeviceRecord** list) {
    while (*list != NULL) {
        DeviceRecord* record = *list;
        *list = record->next;
        TeardownDeviceRecord(record);
        FreeHeapBlock(record);
    }
}

void RescanDevices(void) {
    LockDeviceTable();
    EnumerateHidDevices(&g_library.scanList);

    for (DeviceRecord* record = g_library.scanList; record != NULL; record = record->next) {
        if (record->magic != DEVICE_MAGIC_LIVE) continue;
        // Both pipes are attempted before the decision.
        const BOOL pipe0Started = OpenAndStartPipe(record, 0);
        const BOOL pipe1Started = OpenAndStartPipe(record, 1);
        if (pipe0Started && pipe1Started) {
            g_library.deviceCallback(DEVICE_EVENT_ARRIVED, record, g_library.callbackContext);
        } else {
            TeardownDeviceRecord(record);
        }
    }

    while (g_library.scanList != NULL) {
        DeviceRecord* record = g_library.scanList;
        g_library.scanList = record->next;
        if (record->magic == DEVICE_MAGIC_LIVE) {
            record->next = g_library.deviceTable;
            g_library.deviceTable = record;
        } else {
            FreeHeapBlock(record);
        }
    }

    g_library.deviceCallback(DEVICE_EVENT_SCAN_DONE, NULL, g_library.callbackContext);
    UnlockDeviceTable();
}
