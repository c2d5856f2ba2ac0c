// hid.dll, setupapi.dll and cfgmgr32.dll of the stand-in, over a device root.
//
// A device information set is a snapshot of the root's hidraw nodes taken by
// SetupDiGetClassDevsA. Queries on a handle are answered from the root's sysfs
// tree, so that they work on query-only handles, and fail with
// ERROR_DEVICE_NOT_CONNECTED once the device has gone.
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "hid/hid_modules.h"
#include "hid/hid_node.h"
#include "standin/win32_kernel.h"

using namespace standin;
using namespace standin::hid;

namespace {

// The HID device interface class, and the HID device setup class that
// SP_DEVINFO_DATA carries, as Windows numbers them.
constexpr GUID kHidInterfaceClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kHidSetupClass{0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

// Linux does not publish a device's USB language table; nearly every device lists
// US English alone, which is what string index 0 reports.
constexpr char16_t kLanguageTable[] = {0x0409};

bool sameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

template <typename T>
T failWith(DWORD error) {
    SetLastError(error);
    return T{};
}

struct DeviceInterface {
    HidrawNode node;
    DEVINST devInst;
};

struct DeviceInfoSet {
    std::vector<DeviceInterface> interfaces;
};

struct DeviceInfoSets {
    std::mutex lock;
    std::map<HDEVINFO, std::shared_ptr<DeviceInfoSet>> live;
};

DeviceInfoSets& deviceInfoSets() {
    static DeviceInfoSets instance;
    return instance;
}

std::shared_ptr<DeviceInfoSet> deviceInfoSetOf(HDEVINFO handle) {
    DeviceInfoSets& sets = deviceInfoSets();
    std::lock_guard<std::mutex> guard(sets.lock);
    auto found = sets.live.find(handle);
    if (found == sets.live.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return found->second;
}

// Preparsed data is the HID parser's record of a collection; here it holds the caps.
struct PreparsedData {
    HIDP_CAPS caps;
};

struct PreparsedDataTable {
    std::mutex lock;
    std::map<const void*, std::unique_ptr<PreparsedData>> live;
};

PreparsedDataTable& preparsedData() {
    static PreparsedDataTable instance;
    return instance;
}

std::shared_ptr<HidNodeFile> hidFileOf(HANDLE handle) {
    std::shared_ptr<DeviceFile> file = deviceFileOf(handle);
    if (!file) return nullptr;
    auto hid = std::dynamic_pointer_cast<HidNodeFile>(file);
    if (!hid) SetLastError(ERROR_INVALID_FUNCTION);
    return hid;
}

std::optional<HidDeviceFacts> factsOf(const HidNodeFile& file) {
    std::optional<HidDeviceFacts> facts = readHidDeviceFacts(file.node().hidDevice);
    if (!facts) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return facts;
}

std::u16string utf16Of(const std::string& utf8) {
    std::u16string text;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                   : (lead >> 3) == 0x1E ? 4 : 0;
        char32_t point = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length != 0 && i + length <= utf8.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && point >= kSmallest[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
        if (!valid) {
            text.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(point));
        }
        i += length;
    }
    return text;
}

// Copies a string into the caller's byte buffer as Windows does: as much of it as
// fits, then a terminating zero code unit if there is room for one.
BOOLEAN copyString(const std::u16string& text, PVOID buffer, ULONG bufferLength) {
    if (buffer == nullptr || bufferLength == 0) return failWith<BOOLEAN>(ERROR_INVALID_USER_BUFFER);
    const std::size_t textBytes = text.size() * sizeof(char16_t);
    const std::size_t copied = std::min<std::size_t>(textBytes, bufferLength);
    std::memcpy(buffer, text.data(), copied);
    if (bufferLength - copied >= sizeof(char16_t)) {
        std::memset(static_cast<unsigned char*>(buffer) + copied, 0, sizeof(char16_t));
    }
    return TRUE;
}

}  // namespace

// hid.dll

// Windows fills the attributes whatever their Size field says, and sets it.
BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
    std::shared_ptr<HidNodeFile> file = hidFileOf(HidDeviceObject);
    if (!file) return FALSE;
    if (Attributes == nullptr) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    std::optional<HidDeviceFacts> facts = factsOf(*file);
    if (!facts) return FALSE;
    Attributes->Size = sizeof(HIDD_ATTRIBUTES);
    Attributes->VendorID = facts->vendorId;
    Attributes->ProductID = facts->productId;
    Attributes->VersionNumber = facts->versionNumber;
    return TRUE;
}

VOID WINAPI HidD_GetHidGuid(LPGUID HidGuid) {
    if (HidGuid != nullptr) *HidGuid = kHidInterfaceClass;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData) {
    std::shared_ptr<HidNodeFile> file = hidFileOf(HidDeviceObject);
    if (!file) return FALSE;
    if (PreparsedData == nullptr) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    if (!directoryExists(file->node().hidDevice)) return failWith<BOOLEAN>(ERROR_DEVICE_NOT_CONNECTED);
    const ReportLayout& layout = file->layout();
    auto data = std::make_unique<::PreparsedData>();
    data->caps = HIDP_CAPS{};
    data->caps.UsagePage = layout.usagePage;
    data->caps.Usage = layout.usage;
    data->caps.InputReportByteLength = layout.inputLength;
    data->caps.OutputReportByteLength = layout.outputLength;
    data->caps.FeatureReportByteLength = layout.featureLength;
    data->caps.NumberLinkCollectionNodes = layout.collectionCount;
    PreparsedDataTable& table = preparsedData();
    std::lock_guard<std::mutex> guard(table.lock);
    *PreparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(data.get());
    table.live.emplace(data.get(), std::move(data));
    return TRUE;
}

// Fills what the system reads: usage, usage page, the three report lengths and the
// number of collections. The counts of button and value capabilities stay 0.
NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities) {
    PreparsedDataTable& table = preparsedData();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.live.find(PreparsedData);
    if (found == table.live.end() || Capabilities == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *Capabilities = found->second->caps;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
    std::unique_ptr<::PreparsedData> freed;
    {
        PreparsedDataTable& table = preparsedData();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.live.find(PreparsedData);
        if (found == table.live.end()) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
        freed = std::move(found->second);
        table.live.erase(found);
    }
    return TRUE;
}

BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE HidDeviceObject, PULONG NumberBuffers) {
    std::shared_ptr<HidNodeFile> file = hidFileOf(HidDeviceObject);
    if (!file) return FALSE;
    if (NumberBuffers == nullptr) return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    *NumberBuffers = file->inputBuffers();
    return TRUE;
}

BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE HidDeviceObject, ULONG NumberBuffers) {
    std::shared_ptr<HidNodeFile> file = hidFileOf(HidDeviceObject);
    if (!file) return FALSE;
    if (NumberBuffers < kMinInputBuffers || NumberBuffers > kMaxInputBuffers) {
        return failWith<BOOLEAN>(ERROR_INVALID_PARAMETER);
    }
    file->setInputBuffers(NumberBuffers);
    return TRUE;
}

// A device without a serial number string fails the query, as it does on Windows.
BOOLEAN WINAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
    std::shared_ptr<HidNodeFile> file = hidFileOf(HidDeviceObject);
    if (!file) return FALSE;
    std::optional<HidDeviceFacts> facts = factsOf(*file);
    if (!facts) return FALSE;
    if (facts->serial.empty()) return failWith<BOOLEAN>(ERROR_GEN_FAILURE);
    return copyString(utf16Of(facts->serial), Buffer, BufferLength);
}

// Index 0 is the language table. Linux does not say which index names which of a
// USB device's strings, so no other index is answered.
BOOLEAN WINAPI HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                                     ULONG BufferLength) {
    std::shared_ptr<HidNodeFile> file = hidFileOf(HidDeviceObject);
    if (!file) return FALSE;
    if (!factsOf(*file)) return FALSE;
    if (StringIndex != 0) return failWith<BOOLEAN>(ERROR_GEN_FAILURE);
    return copyString(std::u16string(std::begin(kLanguageTable), std::end(kLanguageTable)), Buffer,
                      BufferLength);
}

// cfgmgr32.dll

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    return parentOf(dnDevInst, *pdnDevInst);
}

// setupapi.dll

// Only device interface sets are offered, of the HID class or of all classes;
// devices are listed when present, so DIGCF_PRESENT changes nothing. Filtering by
// enumerator is not offered.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND, DWORD Flags) {
    const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    if ((ClassGuid == nullptr && !allClasses) || Enumerator != nullptr) {
        SetLastError(Enumerator != nullptr ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    if (allClasses || sameGuid(*ClassGuid, kHidInterfaceClass)) {
        for (HidrawNode& node : listHidrawNodes(currentDeviceRoot())) {
            const DEVINST devInst = devInstOf(node.hidDevice, node.devicesDirectory);
            set->interfaces.push_back({std::move(node), devInst});
        }
    }
    const auto handle = static_cast<HDEVINFO>(set.get());
    DeviceInfoSets& sets = deviceInfoSets();
    std::lock_guard<std::mutex> guard(sets.lock);
    sets.live.emplace(handle, std::move(set));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// The interface data's Reserved field holds the interface's position in its set,
// counted from 1.
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    std::shared_ptr<::DeviceInfoSet> set = deviceInfoSetOf(DeviceInfoSet);
    if (!set) return FALSE;
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
        return failWith<BOOL>(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        return failWith<BOOL>(ERROR_INVALID_USER_BUFFER);
    }
    if (!sameGuid(*InterfaceClassGuid, kHidInterfaceClass)) return failWith<BOOL>(ERROR_NO_MORE_ITEMS);
    DWORD seen = 0;
    for (std::size_t position = 0; position < set->interfaces.size(); ++position) {
        if (DeviceInfoData != nullptr && set->interfaces[position].devInst != DeviceInfoData->DevInst) continue;
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
    std::shared_ptr<::DeviceInfoSet> set = deviceInfoSetOf(DeviceInfoSet);
    if (!set) return FALSE;
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->interfaces.size()) {
        return failWith<BOOL>(ERROR_INVALID_PARAMETER);
    }
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (DeviceInterfaceDetailData == nullptr ? DeviceInterfaceDetailDataSize != 0
                                             : DeviceInterfaceDetailDataSize < kPathOffset + 1 ||
                                                   DeviceInterfaceDetailData->cbSize !=
                                                       sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return failWith<BOOL>(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return failWith<BOOL>(ERROR_INVALID_USER_BUFFER);
    }
    const DeviceInterface& entry = set->interfaces[DeviceInterfaceData->Reserved - 1];
    const std::string& path = entry.node.nodePath;
    const auto required = static_cast<DWORD>(kPathOffset + path.size() + 1);
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInfoData != nullptr) {
        DeviceInfoData->ClassGuid = kHidSetupClass;
        DeviceInfoData->DevInst = entry.devInst;
        DeviceInfoData->Reserved = 0;
    }
    if (DeviceInterfaceDetailDataSize < required) return failWith<BOOL>(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::shared_ptr<::DeviceInfoSet> destroyed;
    {
        DeviceInfoSets& sets = deviceInfoSets();
        std::lock_guard<std::mutex> guard(sets.lock);
        auto found = sets.live.find(DeviceInfoSet);
        if (found == sets.live.end()) return failWith<BOOL>(ERROR_INVALID_HANDLE);
        destroyed = std::move(found->second);
        sets.live.erase(found);
    }
    return TRUE;
}

namespace standin::hid {

std::vector<BuiltinModuleDefinition> hidModules() {
    return {
        {"hid.dll",
         {
             {"HidD_GetAttributes", exportAddress(&HidD_GetAttributes)},
             {"HidD_GetHidGuid", exportAddress(&HidD_GetHidGuid)},
             {"HidD_GetPreparsedData", exportAddress(&HidD_GetPreparsedData)},
             {"HidP_GetCaps", exportAddress(&HidP_GetCaps)},
             {"HidD_FreePreparsedData", exportAddress(&HidD_FreePreparsedData)},
             {"HidD_GetNumInputBuffers", exportAddress(&HidD_GetNumInputBuffers)},
             {"HidD_SetNumInputBuffers", exportAddress(&HidD_SetNumInputBuffers)},
             {"HidD_GetSerialNumberString", exportAddress(&HidD_GetSerialNumberString)},
             {"HidD_GetIndexedString", exportAddress(&HidD_GetIndexedString)},
         }},
        {"cfgmgr32.dll", {{"CM_Get_Parent", exportAddress(&CM_Get_Parent)}}},
        {"setupapi.dll",
         {
             {"SetupDiGetDeviceInterfaceDetailA", exportAddress(&SetupDiGetDeviceInterfaceDetailA)},
             {"SetupDiGetClassDevsA", exportAddress(&SetupDiGetClassDevsA)},
             {"SetupDiEnumDeviceInterfaces", exportAddress(&SetupDiEnumDeviceInterfaces)},
             {"SetupDiDestroyDeviceInfoList", exportAddress(&SetupDiDestroyDeviceInfoList)},
         }},
    };
}

}  // namespace standin::hid
