#include "hid_walk.h"

#include <cstring>
#include <memory>

namespace hid_test {
namespace {

template <typename Function>
bool lookUp(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return function != nullptr;
}

VOID WINAPI transferDone(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    auto* transfer = static_cast<Transfer*>(overlapped->hEvent);
    transfer->error = error;
    transfer->bytes = bytes;
    transfer->completed = true;
}

void prepare(Transfer& transfer) {
    transfer = Transfer{};
    transfer.overlapped.hEvent = &transfer;
}

}  // namespace

bool HidFunctions::bind() {
    hid = LoadLibraryA("hid.dll");
    cfgmgr = LoadLibraryA("cfgmgr32.dll");
    setupapi = LoadLibraryA("setupapi.dll");
    if (hid == nullptr || cfgmgr == nullptr || setupapi == nullptr) return false;
    return lookUp(hid, "HidD_GetAttributes", getAttributes) && lookUp(hid, "HidD_GetHidGuid", getHidGuid) &&
           lookUp(hid, "HidD_GetPreparsedData", getPreparsedData) && lookUp(hid, "HidP_GetCaps", getCaps) &&
           lookUp(hid, "HidD_FreePreparsedData", freePreparsedData) &&
           lookUp(hid, "HidD_GetNumInputBuffers", getNumInputBuffers) &&
           lookUp(hid, "HidD_SetNumInputBuffers", setNumInputBuffers) &&
           lookUp(hid, "HidD_GetSerialNumberString", getSerialNumberString) &&
           lookUp(hid, "HidD_GetIndexedString", getIndexedString) && lookUp(cfgmgr, "CM_Get_Parent", getParent) &&
           lookUp(setupapi, "SetupDiGetDeviceInterfaceDetailA", getInterfaceDetail) &&
           lookUp(setupapi, "SetupDiGetClassDevsA", getClassDevs) &&
           lookUp(setupapi, "SetupDiEnumDeviceInterfaces", enumInterfaces) &&
           lookUp(setupapi, "SetupDiDestroyDeviceInfoList", destroyInfoList);
}

void HidFunctions::unbind() {
    for (HMODULE* module : {&hid, &cfgmgr, &setupapi}) {
        if (*module != nullptr) FreeLibrary(*module);
        *module = nullptr;
    }
}

std::vector<FoundInterface> walkHidInterfaces(const HidFunctions& f) {
    std::vector<FoundInterface> found;
    GUID hidGuid{};
    f.getHidGuid(&hidGuid);
    HDEVINFO set = f.getClassDevs(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!f.enumInterfaces(set, nullptr, &hidGuid, index, &interfaceData)) break;
        DWORD required = 0;
        f.getInterfaceDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required == 0) continue;
        std::vector<unsigned char> block(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA deviceInfo{};
        deviceInfo.cbSize = sizeof deviceInfo;
        f.getInterfaceDetail(set, &interfaceData, detail, required, nullptr, &deviceInfo);

        FoundInterface entry;
        entry.path = detail->DevicePath;
        entry.devInst = deviceInfo.DevInst;
        HANDLE file = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        entry.openedReadWrite = file != INVALID_HANDLE_VALUE;
        if (file == INVALID_HANDLE_VALUE) {
            file = CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        }
        if (file == INVALID_HANDLE_VALUE) continue;
        entry.attributes.Size = 10;
        entry.attributesRead = f.getAttributes(file, &entry.attributes) != FALSE;
        DEVINST parent = 0;
        f.getParent(&parent, entry.devInst, 0);
        f.getParent(&entry.groupKey, parent, 0);
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (f.getPreparsedData(file, &preparsed)) {
            entry.capsRead = f.getCaps(preparsed, &entry.caps) == HIDP_STATUS_SUCCESS;
            f.freePreparsedData(preparsed);
        }
        entry.serialQueried = f.getSerialNumberString(file, entry.serial.data(), 18) != FALSE;
        if (entry.serialQueried) {
            std::array<unsigned char, 512> string0{};
            f.getIndexedString(file, 0, string0.data(), 512);
            if (std::memcmp(entry.serial.data(), string0.data(), 18) == 0) entry.serial.fill(0);
        }
        CloseHandle(file);
        found.push_back(entry);
    }
    f.destroyInfoList(set);
    return found;
}

std::string serialText(const FoundInterface& found) {
    std::string text;
    for (std::size_t i = 0; i + 1 < found.serial.size(); i += 2) {
        const unsigned unit = found.serial[i] | (found.serial[i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

HANDLE openPipe(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

bool startRead(HANDLE file, void* buffer, DWORD length, Transfer& transfer) {
    prepare(transfer);
    return ReadFileEx(file, buffer, length, &transfer.overlapped, transferDone) != FALSE;
}

bool startWrite(HANDLE file, const void* data, DWORD length, Transfer& transfer) {
    prepare(transfer);
    return WriteFileEx(file, data, length, &transfer.overlapped, transferDone) != FALSE;
}

bool awaitTransfer(Transfer& transfer, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!transfer.completed && std::chrono::steady_clock::now() < deadline) SleepEx(20, TRUE);
    return transfer.completed;
}

IoResult readReport(HANDLE file, DWORD length, std::chrono::milliseconds bound) {
    std::vector<unsigned char> buffer(length);
    Transfer transfer;
    if (!startRead(file, buffer.data(), length, transfer)) return {true, GetLastError(), {}};
    if (!awaitTransfer(transfer, bound)) {
        CancelIo(file);
        awaitTransfer(transfer);
        return {false, transfer.error, {}};
    }
    buffer.resize(transfer.error == ERROR_SUCCESS ? transfer.bytes : 0);
    return {true, transfer.error, buffer};
}

IoResult writeReport(HANDLE file, const std::vector<unsigned char>& report) {
    Transfer transfer;
    if (!startWrite(file, report.data(), static_cast<DWORD>(report.size()), transfer)) {
        return {true, GetLastError(), {}};
    }
    const bool completed = awaitTransfer(transfer);
    return {completed, transfer.error, {}};
}

}  // namespace hid_test
