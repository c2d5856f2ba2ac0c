#include "device_list_view.h"

#include <wctype.h>

namespace simulated_system {
namespace {

constexpr DWORD kMappingNameChars = 256;
// "\\.\pipe" is the device; a pipe file's own name is the rest of its path.
constexpr size_t kPipeDeviceChars = 8;
constexpr DWORD kFileNameBytes = 512;

INIT_ONCE opened = INIT_ONCE_STATIC_INIT;
DeviceList theList;

// The view stays mapped for the life of the process: the boards' entries are read
// by every call.
BOOL CALLBACK openDeviceList(PINIT_ONCE, PVOID, PVOID*) {
    char name[kMappingNameChars];
    const DWORD length = GetEnvironmentVariableA(device_list::kDeviceListVariable, name, sizeof name);
    if (length == 0 || length >= sizeof name) return TRUE;
    const HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping == nullptr) return TRUE;
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    if (view == nullptr) return TRUE;
    MEMORY_BASIC_INFORMATION region;
    const auto* header = static_cast<const device_list::Header*>(view);
    if (VirtualQuery(view, &region, sizeof region) < sizeof region || region.RegionSize < sizeof *header ||
        header->magic != device_list::kMagic || header->version != device_list::kVersion ||
        region.RegionSize < device_list::bytesFor(header->boardCount, header->interfaceCount)) {
        UnmapViewOfFile(view);
        return TRUE;
    }
    theList.boardCount = header->boardCount;
    theList.interfaceCount = header->interfaceCount;
    theList.boards = reinterpret_cast<const device_list::Board*>(header + 1);
    theList.interfaces = reinterpret_cast<const device_list::Interface*>(theList.boards + header->boardCount);
    return TRUE;
}

}  // namespace

const DeviceList& deviceList() {
    InitOnceExecuteOnce(&opened, openDeviceList, nullptr, nullptr);
    return theList;
}

bool isPresent(std::uint32_t board) {
    const DeviceList& list = deviceList();
    if (board >= list.boardCount) return false;
    // The simulator changes the word with an interlocked exchange; an aligned
    // 32-bit read sees either value whole.
    const volatile std::uint32_t* present = &list.boards[board].present;
    return *present != 0;
}

const device_list::Interface* interfaceOf(HANDLE file, DWORD& error) {
    error = ERROR_INVALID_FUNCTION;
    alignas(FILE_NAME_INFO) BYTE buffer[kFileNameBytes];
    if (!GetFileInformationByHandleEx(file, FileNameInfo, buffer, sizeof buffer)) {
        // A pipe whose server end has closed no longer tells its name: its board
        // went away.
        const DWORD failure = GetLastError();
        if (failure == ERROR_PIPE_NOT_CONNECTED || failure == ERROR_BROKEN_PIPE) error = ERROR_DEVICE_NOT_CONNECTED;
        return nullptr;
    }
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
    const DeviceList& list = deviceList();
    const size_t units = info->FileNameLength / sizeof(WCHAR);
    for (std::uint32_t i = 0; i < list.interfaceCount; ++i) {
        const char* name = list.interfaces[i].pipePath + kPipeDeviceChars;
        size_t k = 0;
        while (k < units && name[k] != '\0' && towlower(info->FileName[k]) == towlower(static_cast<unsigned char>(name[k]))) {
            ++k;
        }
        if (k != units || name[k] != '\0') continue;
        if (!isPresent(list.interfaces[i].board)) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return nullptr;
        }
        error = ERROR_SUCCESS;
        return &list.interfaces[i];
    }
    return nullptr;
}

}  // namespace simulated_system
