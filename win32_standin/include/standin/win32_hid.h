// The HID class driver interface (hid.dll), SetupAPI (setupapi.dll) and the
// configuration manager (cfgmgr32.dll) of the Linux stand-in.
//
// The system never calls these functions directly: it binds them at run time
// through LoadLibraryA and GetProcAddress. They are declared here so that the
// stand-in's modules export them under the Windows signatures.
//
// Structure layouts follow the natural alignment of this build. Size fields are
// checked against sizeof of these layouts, as Windows checks them against its
// own. On 32-bit Windows, where SetupAPI's structures are byte-packed,
// SP_DEVICE_INTERFACE_DATA and SP_DEVINFO_DATA are 28 bytes and the fixed part
// of SP_DEVICE_INTERFACE_DETAIL_DATA_A is 5; on 64-bit builds they are 32, 32
// and 8. A wrong size fails with ERROR_INVALID_USER_BUFFER. HIDD_ATTRIBUTES is
// 12 bytes everywhere (10 without its padding); HidD_GetAttributes does not
// check its Size field and sets it, as Windows does.
#pragma once

#include "standin/win32_types.h"

struct HWND__;
typedef HWND__* HWND;

typedef USHORT USAGE;
typedef USAGE* PUSAGE;

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
typedef HIDD_ATTRIBUTES* PHIDD_ATTRIBUTES;

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
typedef HIDP_CAPS* PHIDP_CAPS;
static_assert(sizeof(HIDP_CAPS) == 64, "HIDP_CAPS is the HID parser's 64-byte record");

struct HIDP_PREPARSED_DATA_OPAQUE;
typedef HIDP_PREPARSED_DATA_OPAQUE* PHIDP_PREPARSED_DATA;

#define HIDP_STATUS_SUCCESS (static_cast<NTSTATUS>(0x00110000))
#define HIDP_STATUS_INVALID_PREPARSED_DATA (static_cast<NTSTATUS>(0xC0110001u))

typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DWORD DEVNODE;
typedef DEVINST* PDEVINST;
typedef DWORD CONFIGRET;

#define CR_SUCCESS 0x00000000u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_NO_SUCH_DEVNODE 0x0000000Du

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

#define SPINT_ACTIVE 0x00000001u
#define SPINT_DEFAULT 0x00000002u
#define SPINT_REMOVED 0x00000004u

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[ANYSIZE_ARRAY];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

// hid.dll
BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
VOID WINAPI HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData);
NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities);
BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData);
BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE HidDeviceObject, PULONG NumberBuffers);
BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE HidDeviceObject, ULONG NumberBuffers);
BOOLEAN WINAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN WINAPI HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                                     ULONG BufferLength);

// cfgmgr32.dll
CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);

// setupapi.dll
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
