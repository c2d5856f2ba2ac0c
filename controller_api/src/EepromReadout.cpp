// I2C transfers on pipe 1, reads of the configuration EEPROM, and the
// configuration record shared with other processes.
#include <string.h>

#include "CVantrelController.h"
#include "NamedGlobalLock.h"

namespace {

constexpr const char* kConfigMappingSuffix = "{B0BA7E7B-3E64-4bf7-ADB8-0B6C9D528DF6}";
constexpr DWORD kSpecialModePipe = 1;
constexpr BYTE kI2CWriteId = 0x02;
constexpr BYTE kI2CReadId = 0x03;
constexpr BYTE kI2CWriteStartAndCount = 0x82;  // start flag and the two bytes that follow
constexpr BYTE kFailureBit = 0x80;
constexpr BYTE kEepromWriteAddress = 0xA0;
constexpr BYTE kEepromReadAddress = 0xA1;
constexpr BYTE kBlank = 0xFF;

bool IsResponseOk(int transferResult, const BYTE* response, BYTE expectedId) {
    return transferResult == 0 && response[0] == expectedId && (response[1] & kFailureBit) == 0;
}

// A transfer that failed never counts as success, even where the library left the
// last-error code at 0.
DWORD NonZero(DWORD code, DWORD fallback) {
    if (code != ERROR_SUCCESS) return code;
    SetLastError(fallback);
    return fallback;
}

// The 256 rule for the last value of range 0.
int LastOfRange0(int first, int last) {
    if (first == 1 && (last == 0xFF || last == 0)) return 256;
    if (first >= 2 && last == 0) return 256;
    return last;
}

void StoreRange(ConfigRange& range, int first, int last) {
    range.first = first;
    range.last = last;
    range.count = last != 0 ? last - first + 1 : 0;
}

}  // namespace

int CVantrelController::WriteI2C(const BYTE request[kReportBytes]) {
    if (!IsI2CModeOn()) return -1;
    CriticalSectionGuard guard(m_i2cLock, true);
    DrainStoredReports();
    if (WriteReport(m_handle, kSpecialModePipe, request, kReportBytes) == kReportBytes) return 0;
    return static_cast<int>(NonZero(MapLastError(), ERROR_WRITE_FAULT));
}

int CVantrelController::ReadI2CResponse(BYTE response[kReportBytes]) {
    if (!IsI2CModeOn()) return -1;
    CriticalSectionGuard guard(m_i2cLock, true);
    if (ReadRoutedReport(1, kSpecialModePipe, response, kReportBytes) != kReportBytes) {
        return static_cast<int>(NonZero(MapLastError(), ERROR_READ_FAULT));
    }
    if ((response[0] == kI2CWriteId || response[0] == kI2CReadId) && (response[1] & kFailureBit) != 0) {
        MapLastError();
        return -1;
    }
    return 0;
}

bool CVantrelController::ReadEeprom(int device, BYTE address, int* first, int* second, int* third, int* fourth) {
    if (!IsI2CModeOn() || static_cast<unsigned>(device - 1) > 7) return false;
    CriticalSectionGuard guard(m_i2cLock, true);
    const BYTE deviceOffset = static_cast<BYTE>(2 * (device - 1));
    bool result = true;

    BYTE response[kReportBytes] = {};
    BYTE request[kReportBytes] = {kI2CWriteId, kI2CWriteStartAndCount,
                                  static_cast<BYTE>(kEepromWriteAddress + deviceOffset), address, 0, 0, 0, 0};
    int transfer = WriteI2C(request);
    if (transfer == 0) transfer = ReadI2CResponse(response);
    if (!IsResponseOk(transfer, response, kI2CWriteId)) {
        MapLastError();
        result = false;
    }

    memset(request, 0, sizeof request);
    memset(response, 0, sizeof response);
    const BYTE count = static_cast<BYTE>(1 + (second != nullptr) + (third != nullptr) + (fourth != nullptr));
    if (result) {
        request[0] = kI2CReadId;
        request[1] = count;
        request[2] = static_cast<BYTE>(kEepromReadAddress + deviceOffset);
        transfer = WriteI2C(request);
        if (transfer == 0) transfer = ReadI2CResponse(response);
        if (!IsResponseOk(transfer, response, kI2CReadId)) {
            MapLastError();
            result = false;
        }
    }

    *first = response[2];
    if (second != nullptr) *second = response[3];
    if (third != nullptr) *third = response[4];
    if (fourth != nullptr) *fourth = response[5];
    return result;
}

bool CVantrelController::ReadConfiguration(bool force) {
    if (!force) {
        if (m_config.boardIdText[0] != '\0') return true;
        if (LoadSharedConfiguration()) return true;
    }
    CloseConfigMapping();
    NamedGlobalLock lock(GetSerialString(false));
    lock.Acquire();
    const bool wasOn = IsI2CModeOn();
    if (!wasOn) SetI2CMode(true);
    const bool read = ReadConfigurationLocked();
    if (!wasOn) SetI2CMode(false);
    if (read) PublishConfiguration();
    return read;
}

bool CVantrelController::ReadConfigurationLocked() {
    int high = 0, low = 0;
    if (!ReadEeprom(1, 0x80, &high, &low)) return false;
    int boardIdHigh = kBlank, boardIdLow = kBlank;
    if (high != kBlank && low != kBlank) {
        boardIdHigh = high;
        boardIdLow = low;
    }

    int flags0 = 0, flags1 = 0, flags2 = 0, flags3 = 0;
    if (!ReadEeprom(1, 0x65, &flags0, &flags1) || !ReadEeprom(1, 0x90, &flags2, &flags3)) return false;
    std::uint32_t flags = static_cast<std::uint32_t>(flags0) | static_cast<std::uint32_t>(flags1) << 8 |
                          static_cast<std::uint32_t>(flags2) << 16 | static_cast<std::uint32_t>(flags3) << 24;
    if (flags == 0xFFFFFFFFu && boardIdHigh == kBlank && boardIdLow == kBlank) flags = 0;

    int range[4][2] = {};
    if ((flags & kFeatureRange1) != 0 && !ReadEeprom(1, 0x69, &range[1][0], &range[1][1])) return false;
    if ((flags & kFeatureRange0) != 0) {
        if (!ReadEeprom(1, 0x7B, &range[0][0], &range[0][1])) return false;
        range[0][1] = LastOfRange0(range[0][0], range[0][1]);
    }
    if ((flags & kFeatureRange2) != 0 && !ReadEeprom(1, 0x67, &range[2][0], &range[2][1])) return false;
    if ((flags & kFeatureRange3) != 0 && !ReadEeprom(1, 0x63, &range[3][0], &range[3][1])) return false;
    int value7F = 0;
    if (!ReadEeprom(1, 0x7F, &value7F)) return false;
    int day = 0, month = 0, year = 0;
    if (!ReadEeprom(1, 0x83, &day, &month, &year)) return false;

    if (boardIdHigh == 0x33 && boardIdLow == 0x1A) flags |= kFeatureBoard331A;
    m_config.featureFlags = flags;
    for (int i = 0; i < 4; ++i) StoreRange(m_config.ranges[i], range[i][0], range[i][1]);
    m_config.value7F = value7F;
    sprintf_s(m_config.boardIdText, sizeof m_config.boardIdText, "%.02X%.02X", boardIdHigh, boardIdLow);
    if (boardIdHigh != 0 && boardIdLow != 0 && day < 100 && month < 100 && year < 100) {
        sprintf_s(m_config.dateText, sizeof m_config.dateText, "%.02d/%.02d/%.02d", day, month, year);
    }
    return true;
}

bool CVantrelController::OpenConfigMapping() {
    m_configMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ControllerConfig),
                                         MakeObjectName(kConfigMappingSuffix).c_str());
    return m_configMapping != nullptr;
}

void* CVantrelController::MapConfigView() {
    void* view = MapViewOfFile(m_configMapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ControllerConfig));
    if (view == nullptr) CloseConfigMapping();
    return view;
}

bool CVantrelController::PublishConfiguration() {
    // Without a serial number the mapping's name would be shared by every
    // serial-less board of the product id.
    if (GetSerialString(false).empty() || m_configMapping != nullptr) return false;
    // A mapping that already exists (another process holds it) is overwritten.
    if (!OpenConfigMapping()) return false;
    void* view = MapConfigView();
    if (view == nullptr) return false;
    memcpy(view, &m_config, sizeof m_config);
    UnmapViewOfFile(view);
    return true;
}

bool CVantrelController::LoadSharedConfiguration() {
    if (GetSerialString(false).empty() || m_configMapping != nullptr) return false;
    if (!OpenConfigMapping()) return false;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        CloseConfigMapping();
        return false;
    }
    void* view = MapConfigView();
    if (view == nullptr) return false;
    ControllerConfig shared;
    memcpy(&shared, view, sizeof shared);
    UnmapViewOfFile(view);
    // A publisher that created the mapping but has not copied its record in yet
    // leaves zeros: that is no configuration.
    if (shared.boardIdText[0] == '\0') {
        CloseConfigMapping();
        return false;
    }
    m_config = shared;
    return true;
}
