// The simulated hid.dll: the HID queries on a file open on a simulated
// interface's pipe, answered from the device list.
//
// Opening the pipe is CreateFileA's own business, and so are the reads and writes
// of reports, which travel over the pipe one message each. A pipe's client end
// reads in byte mode until it is told otherwise; HidD_SetNumInputBuffers, which a
// program calls on the files it reads from, switches it to message mode, so that
// every read takes one report whatever its buffer's length. (Windows refuses that
// on a file opened for reading only; such a file stays in byte mode, where a read
// of the interface's input report length still takes one report, since every
// report the simulator sends has that length.)
#include "device_list_view.h"

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

using namespace simulated_system;

namespace {

// The HID device interface class, as Windows numbers it.
constexpr GUID kHidInterfaceClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Input buffers a file has by default, and the range HidD_SetNumInputBuffers
// accepts, as on Windows.
constexpr ULONG kDefaultInputBuffers = 32;
constexpr ULONG kMinInputBuffers = 2;
constexpr ULONG kMaxInputBuffers = 512;

// Linux does not publish a device's language table and the simulator follows the
// Linux stand-in: string index 0 lists US English alone.
constexpr WCHAR kLanguageTable[] = {0x0409};

constexpr DWORD kPreparsedMagic = 0x44505356;  // "VSPD"

// Preparsed data is the HID parser's record of a collection; here it holds the caps.
struct PreparsedData {
    DWORD magic;
    HIDP_CAPS caps;
};

template <typename T>
T failWith(DWORD error) {
    SetLastError(error);
    return T{};
}

const device_list::Interface* interfaceOrFail(HANDLE file) {
    DWORD error = ERROR_SUCCESS;
    const device_list::Interface* found = interfaceOf(file, error);
    if (found == nullptr) SetLastError(error);
    return found;
}

// Copies a string into the caller's byte buffer as Windows does: as much of it as
// fits, then a terminating zero unit if there is room for one.
BOOLEAN copyString(const WCHAR* text, size_t units, PVOID buffer, ULONG bufferLength) {
    if (buffer == nullptr || bufferLength == 0) return failWith<BOOLEAN>(ERROR_INVALID_USER_BUFFER);
    const size_t textBytes = units * sizeof(WCHAR);
    const size_t copied = textBytes < bufferLength ? textBytes : bufferLength;
    CopyMemory(buffer, text, copied);
    if (bufferLength - copied >= sizeof(WCHAR)) ZeroMemory(static_cast<BYTE*>(buffer) + copied, sizeof(WCHAR));
    return TRUE;
}

// The number of input buffers of each file given one. A file's handle value may
// be reused for another file once it is closed, which this table does not see;
// the number is only reported back, since the simulator keeps up to 512 reports
// for every file anyway.
struct InputBufferRecord {
    HANDLE file;
    ULONG count;
};
constexpr size_t kRecordedFiles = 256;
SRWLOCK recordLock = SRWLOCK_INIT;
InputBufferRecord records[kRecordedFiles];
size_t nextRecord = 0;

}  // namespace

extern "C" {

// Windows fills the attributes whatever their Size field says, and sets it.
BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
    const device_list::Interface* found = interfaceOrFail(HidDeviceObject);
    if (found == nullptr) return FALSE;
    if (Attributes == nullptr) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    const device_list::Board& board = deviceList().boards[found->board];
    Attributes->Size = sizeof(HIDD_ATTRIBUTES);
    Attributes->VendorID = board.vendorId;
    Attributes->ProductID = board.productId;
    Attributes->VersionNumber = board.revision;
    return TRUE;
}

void NTAPI HidD_GetHidGuid(LPGUID HidGuid) {
    if (HidGuid != nullptr) *HidGuid = kHidInterfaceClass;
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData) {
    const device_list::Interface* found = interfaceOrFail(HidDeviceObject);
    if (found == nullptr) return FALSE;
    if (PreparsedData == nullptr) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    auto* data = static_cast<::PreparsedData*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(::PreparsedData)));
    if (data == nullptr) return failWith<BOOLEAN>(ERROR_NOT_ENOUGH_MEMORY);
    data->magic = kPreparsedMagic;
    data->caps.UsagePage = found->usagePage;
    data->caps.Usage = found->usage;
    data->caps.InputReportByteLength = found->inputReportBytes;
    data->caps.OutputReportByteLength = found->outputReportBytes;
    data->caps.FeatureReportByteLength = found->featureReportBytes;
    data->caps.NumberLinkCollectionNodes = found->collections;
    *PreparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
    return TRUE;
}

// Fills what the system reads: usage, usage page, the three report lengths and the
// number of collections. The counts of button and value capabilities stay 0.
NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities) {
    const auto* data = reinterpret_cast<const ::PreparsedData*>(PreparsedData);
    if (data == nullptr || Capabilities == nullptr || data->magic != kPreparsedMagic) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    *Capabilities = data->caps;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
    auto* data = reinterpret_cast<::PreparsedData*>(PreparsedData);
    if (data == nullptr || data->magic != kPreparsedMagic) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    data->magic = 0;
    HeapFree(GetProcessHeap(), 0, data);
    return TRUE;
}

BOOLEAN NTAPI HidD_GetNumInputBuffers(HANDLE HidDeviceObject, PULONG NumberBuffers) {
    if (interfaceOrFail(HidDeviceObject) == nullptr) return FALSE;
    if (NumberBuffers == nullptr) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    *NumberBuffers = kDefaultInputBuffers;
    AcquireSRWLockShared(&recordLock);
    for (const InputBufferRecord& record : records) {
        if (record.file == HidDeviceObject && record.count != 0) *NumberBuffers = record.count;
    }
    ReleaseSRWLockShared(&recordLock);
    return TRUE;
}

BOOLEAN NTAPI HidD_SetNumInputBuffers(HANDLE HidDeviceObject, ULONG NumberBuffers) {
    if (interfaceOrFail(HidDeviceObject) == nullptr) return FALSE;
    if (NumberBuffers < kMinInputBuffers || NumberBuffers > kMaxInputBuffers) {
        return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    }
    DWORD readMode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(HidDeviceObject, &readMode, nullptr, nullptr);
    AcquireSRWLockExclusive(&recordLock);
    InputBufferRecord* slot = &records[nextRecord];
    for (InputBufferRecord& record : records) {
        if (record.file == HidDeviceObject) slot = &record;
    }
    if (slot == &records[nextRecord]) nextRecord = (nextRecord + 1) % kRecordedFiles;
    *slot = {HidDeviceObject, NumberBuffers};
    ReleaseSRWLockExclusive(&recordLock);
    return TRUE;
}

// A board without a serial number string fails the query, as it does on Windows.
BOOLEAN NTAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
    const device_list::Interface* found = interfaceOrFail(HidDeviceObject);
    if (found == nullptr) return FALSE;
    const device_list::Board& board = deviceList().boards[found->board];
    if (board.serialUnits == 0) return failWith<BOOLEAN>(ERROR_GEN_FAILURE);
    return copyString(reinterpret_cast<const WCHAR*>(board.serial), board.serialUnits, Buffer, BufferLength);
}

// Index 0 is the language table; as on the Linux stand-in, no other index is
// answered.
BOOLEAN NTAPI HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer, ULONG BufferLength) {
    if (interfaceOrFail(HidDeviceObject) == nullptr) return FALSE;
    if (StringIndex != 0) return failWith<BOOLEAN>(ERROR_GEN_FAILURE);
    return copyString(kLanguageTable, sizeof kLanguageTable / sizeof *kLanguageTable, Buffer, BufferLength);
}

}  // extern "C"
