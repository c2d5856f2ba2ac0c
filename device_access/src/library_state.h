// The library's state record, its device records and the operations the
// library's parts call among themselves.
#pragma once

#include "device_access.h"

#define DEVICE_MAGIC_LIVE 0x5654524Cu  // "VTRL"
#define DEVICE_MAGIC_GONE 0xF00FBEEFu

#define DEVICE_EVENT_ARRIVED 0x00u
#define DEVICE_EVENT_SCAN_DONE 0xFFu

#define LIBRARY_MODE_CLOSED 0
#define LIBRARY_MODE_SYNCHRONOUS 1
#define LIBRARY_MODE_WINDOW_DRIVEN 2

#define REPORT_RING_SLOTS 128u
#define REPORT_SLOT_BYTES 64u
#define READER_WAIT_SLICE_MS 250u
#define INPUT_BUFFERS_PER_READ_HANDLE 128u
#define PIPE_COUNT 2u
#define PIPE0_OUTPUT_REPORT_BYTES 5u

struct ReportRing {
    BYTE* slots[REPORT_RING_SLOTS];
    DWORD readPos;
    DWORD writePos;
    DWORD reportCount;
};

struct PipeState {
    HANDLE readerThread;
    HANDLE reportAvailable;
    HANDLE readError;
    HANDLE stopRequest;
    HANDLE readerExited;
    HANDLE ringMutex;
    HANDLE readMutex;
    ReportRing ring;
    HANDLE readFile;
    HANDLE writeFile;
    HIDP_CAPS caps;
    HIDD_ATTRIBUTES attributes;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A interfaceDetail;
};

struct DeviceRecord {
    DWORD magic;
    LONG claimed;
    LONG modeStamp;
    DWORD readTimeout;
    DWORD writeTimeout;
    LONG interfaceCount;
    DEVINST groupKey;
    WCHAR serial[SERIAL_NUMBER_UNITS];
    PipeState pipes[PIPE_COUNT];
    DeviceRecord* next;
};

typedef void (*DeviceCallback)(DWORD event, DeviceHandle record, DWORD context);

// The fourteen system functions discovery binds at run time, with their modules.
typedef BOOLEAN(WINAPI* HidD_GetAttributes_t)(HANDLE, PHIDD_ATTRIBUTES);
typedef VOID(WINAPI* HidD_GetHidGuid_t)(LPGUID);
typedef BOOLEAN(WINAPI* HidD_GetPreparsedData_t)(HANDLE, PHIDP_PREPARSED_DATA*);
typedef NTSTATUS(WINAPI* HidP_GetCaps_t)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
typedef BOOLEAN(WINAPI* HidD_FreePreparsedData_t)(PHIDP_PREPARSED_DATA);
typedef BOOLEAN(WINAPI* HidD_GetNumInputBuffers_t)(HANDLE, PULONG);
typedef BOOLEAN(WINAPI* HidD_SetNumInputBuffers_t)(HANDLE, ULONG);
typedef BOOLEAN(WINAPI* HidD_GetSerialNumberString_t)(HANDLE, PVOID, ULONG);
typedef BOOLEAN(WINAPI* HidD_GetIndexedString_t)(HANDLE, ULONG, PVOID, ULONG);
typedef CONFIGRET(WINAPI* CM_Get_Parent_t)(PDEVINST, DEVINST, ULONG);
typedef BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA_t)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                                         PDWORD, PSP_DEVINFO_DATA);
typedef HDEVINFO(WINAPI* SetupDiGetClassDevsA_t)(const GUID*, LPCSTR, HWND, DWORD);
typedef BOOL(WINAPI* SetupDiEnumDeviceInterfaces_t)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                    PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* SetupDiDestroyDeviceInfoList_t)(HDEVINFO);

struct SystemFunctions {
    HMODULE hidModule;
    HMODULE cfgmgrModule;
    HMODULE setupapiModule;
    HidD_GetAttributes_t HidD_GetAttributes;
    HidD_GetHidGuid_t HidD_GetHidGuid;
    HidD_GetPreparsedData_t HidD_GetPreparsedData;
    HidP_GetCaps_t HidP_GetCaps;
    HidD_FreePreparsedData_t HidD_FreePreparsedData;
    HidD_GetNumInputBuffers_t HidD_GetNumInputBuffers;
    HidD_SetNumInputBuffers_t HidD_SetNumInputBuffers;
    HidD_GetSerialNumberString_t HidD_GetSerialNumberString;
    HidD_GetIndexedString_t HidD_GetIndexedString;
    CM_Get_Parent_t CM_Get_Parent;
    SetupDiGetDeviceInterfaceDetailA_t SetupDiGetDeviceInterfaceDetailA;
    SetupDiGetClassDevsA_t SetupDiGetClassDevsA;
    SetupDiEnumDeviceInterfaces_t SetupDiEnumDeviceInterfaces;
    SetupDiDestroyDeviceInfoList_t SetupDiDestroyDeviceInfoList;
};

// The single write block: one report write may be in flight in the library.
struct WriteBlock {
    // Its hEvent member carries the address of the block, for the completion routine.
    OVERLAPPED writeOverlapped;
    HANDLE writeInFlightFile;
    LONG writeDone;  // 1: completed without error and moved at least one byte
    // Set by the completion routine once it ran, so that a write never takes a
    // cancelled write's late completion for its own.
    LONG writeCompletionRan;
    // The error the completion reported; never 0 for a write that failed.
    DWORD writeError;
};

struct LibraryState {
    DeviceHandle handles[MAX_CLAIMED_DEVICES];
    DWORD handleCount;
    HANDLE heap;
    DeviceRecord* deviceTable;
    DeviceRecord* scanList;
    HANDLE tableMutex;
    HANDLE shutdownEvent;
    DeviceCallback deviceCallback;
    DWORD callbackContext;
    LONG mode;
    WriteBlock writeBlock;
    SystemFunctions binding;
    // Reads and writes between their entry and their return; ShutdownLibrary waits
    // for it to reach 0 before it closes the handles they use on their way out.
    LONG operationsInFlight;
};

extern LibraryState g_library;

// Library state and handle discipline.
DWORD InitializeLibrary(DeviceCallback callback, DWORD context, LONG mode);
void ShutdownLibrary(void);
DeviceRecord* LookupDeviceHandle(DeviceHandle handle);
void LockDeviceTable(void);
void UnlockDeviceTable(void);
BOOL SetDeviceClaimed(DeviceHandle handle, LONG value, LONG expectedMode);
void ClaimArrivedDevice(DWORD event, DeviceHandle handle, DWORD context);

// Discovery.
BOOL BindSystemFunctions(void);
void UnbindSystemFunctions(void);
void RescanDevices(void);
DWORD EnumerateHidDevices(DeviceRecord** list);
void TeardownDeviceRecord(DeviceRecord* record);
void RemoveDeviceRecord(DeviceRecord** list, DeviceRecord* record);
void FreeDeviceList(DeviceRecord** list);

// Pipes and rings.
DWORD StartPipe(DeviceRecord* record, DWORD pipe);
void StopPipe(DeviceRecord* record, DWORD pipe);
DWORD RingPut(DeviceRecord* record, DWORD pipe, const void* data, DWORD length);
DWORD RingTakeOldest(DeviceRecord* record, DWORD pipe, void* buffer);
DWORD CancelPipeIo(HANDLE file);

// Timed report read and write.
DWORD WritePipe(DeviceHandle handle, DWORD pipe, const void* data, LONG mode);
DWORD ReadPipe(DeviceHandle handle, DWORD pipe, void* buffer, LONG mode);
// Entered holding tableMutex and left holding it, except when the library shuts
// down meanwhile: then `shuttingDown` is set and nothing of the record is touched.
DWORD WaitForReport(DeviceRecord* record, DWORD pipe, void* buffer, BOOL* shuttingDown);
VOID WINAPI WriteCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED overlapped);
