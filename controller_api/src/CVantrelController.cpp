// The controller object: kernel object names, the board's I2C mode, the routing
// of special-mode reports by kind, error mapping, closing.
#include <string.h>

#include <new>

#include "CVantrelController.h"

namespace {

constexpr const char* kI2CModeMutexSuffix = "{42B78B09-C529-42c0-B5C5-8D9C65ADEE24}";
constexpr DWORD kSpecialModePipe = 1;
constexpr BYTE kI2CModeReportId = 0x01;

// A board that answers does so well within this; an answer that does not come
// counts as an empty read.
constexpr DWORD kReadTimeoutMs = 1000;
// Consecutive empty reads after which a routed read gives up. A board that was
// unplugged makes every read fail within one reader slice (250 ms), a present
// board that stopped answering within the read time-out, so either is given up
// within about two seconds, while a board that answers within two read time-outs
// is still served.
constexpr int kMaxConsecutiveEmptyReads = 2;

// Queue slot of each report kind: the queues are kept in the order of kinds
// 4, 1, 2, 3, 5, 6, 7, 8.
constexpr int kQueueSlotOfKind[CVantrelController::kReportKinds + 1] = {-1, 1, 2, 3, 0, 4, 5, 6, 7};

// The kind of a special-mode report by its ID; 0 for an ID that has none.
int ReportKindOf(BYTE id) {
    if (id == 0x00) return 8;
    if (id >= 0x01 && id <= 0x03) return 1;
    if (id >= 0x04 && id <= 0x06) return 2;
    if (id == 0x08 || id == 0x09) return 3;
    if (id == 0x0C) return 6;
    if (id == 0x14 || id == 0x15) return 7;
    if (id >= 0x18 && id <= 0x1C) return 4;
    if (id == 0xFF) return 5;
    return 0;
}

void CloseHandleIfSet(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace

CriticalSectionGuard::CriticalSectionGuard(CRITICAL_SECTION& section, bool enterNow)
    : m_section(section), m_entered(enterNow) {
    if (m_entered) EnterCriticalSection(&m_section);
}

CriticalSectionGuard::~CriticalSectionGuard() {
    if (m_entered) LeaveCriticalSection(&m_section);
}

CVantrelController::CVantrelController(DeviceHandle handle) {
    for (auto& entry : m_boardIdCache) {
        entry[0] = -1;
        entry[1] = -1;
    }
    if (handle != nullptr) Attach(handle);
    InitializeCriticalSection(&m_i2cLock);
}

CVantrelController::~CVantrelController() {
    Close();
    DeleteCriticalSection(&m_i2cLock);
}

std::string CVantrelController::MakeObjectName(const char* suffix) {
    char serial[SERIAL_NUMBER_UNITS] = {};
    GetSerial8(serial);
    // A backslash would make the name fail: the part before it would be taken for
    // a namespace. The serial number comes from the device.
    for (char& c : serial) {
        if (c == '\\') c = '_';
    }
    char prefix[32] = {};
    sprintf_s(prefix, sizeof prefix, "%X-%s:", static_cast<unsigned>(ProductId()), serial);
    return std::string(prefix) + suffix;
}

bool CVantrelController::IsI2CModeOn() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, TRUE, MakeObjectName(kI2CModeMutexSuffix).c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return true;
    }
    // Only an absent name means the mode is off; a mutex this process may not open
    // (another user's or an elevated process's) still exists.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

bool CVantrelController::SetI2CMode(bool on) {
    if (on && IsI2CModeOn()) return true;
    const BYTE report[kReportBytes] = {kI2CModeReportId, static_cast<BYTE>(on ? 1 : 0), 0, 0, 0, 0, 0, 0};
    if (WriteReport(m_handle, kSpecialModePipe, report, kReportBytes) != kReportBytes) {
        MapLastError();
        return false;
    }
    if (on) {
        m_i2cModeMutex = CreateMutexA(nullptr, TRUE, MakeObjectName(kI2CModeMutexSuffix).c_str());
    } else {
        CloseHandleIfSet(m_i2cModeMutex);
    }
    QueueOfKind(1).clear();
    return true;
}

CVantrelController::ReportQueue& CVantrelController::QueueOfKind(int kind) {
    return m_reportQueues[static_cast<size_t>(kQueueSlotOfKind[kind])];
}

const CVantrelController::ReportQueue& CVantrelController::QueueOfKind(int kind) const {
    return m_reportQueues[static_cast<size_t>(kQueueSlotOfKind[kind])];
}

std::size_t CVantrelController::QueuedReports(int kind) const {
    return kind >= 1 && kind <= kReportKinds ? QueueOfKind(kind).size() : 0;
}

bool CVantrelController::Enqueue(int kind, const BYTE* report) {
    ReportQueue& queue = QueueOfKind(kind);
    if (queue.size() >= queue.max_size()) return false;
    SpecialReport copy;
    memcpy(copy.data(), report, kReportBytes);
    try {
        queue.push_back(copy);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int CVantrelController::ReadRoutedReport(int kind, DWORD pipe, BYTE* destination, int length) {
    if (kind < 1 || kind > kReportKinds) return -1;
    const size_t copyLength = length < 0 ? 0 : (length > kReportBytes ? kReportBytes : static_cast<size_t>(length));
    ReportQueue& queue = QueueOfKind(kind);
    if (!queue.empty() && destination != nullptr) {
        memcpy(destination, queue.front().data(), copyLength);
        queue.pop_front();
        return kReportBytes;
    }

    SetReadTimeout(m_handle, kReadTimeoutMs);
    m_routingActive = true;
    int result = -1;
    int consecutiveEmptyReads = 0;
    while (m_routingActive) {
        BYTE report[kReportBytes] = {};
        const DWORD count = ReadReport(m_handle, pipe, report, kReportBytes);
        result = static_cast<int>(count);
        MapLastError();
        if (count == kReportBytes) {
            consecutiveEmptyReads = 0;
            const int arrivedKind = ReportKindOf(report[0]);
            if (arrivedKind == kind) {
                if (destination != nullptr) memcpy(destination, report, copyLength);
                m_routingActive = false;
                return kReportBytes;
            }
            // A queue that can't grow ends the read: nothing was delivered.
            if (arrivedKind != 0 && !Enqueue(arrivedKind, report)) {
                result = -1;
                break;
            }
            continue;
        }
        if (count == 0 && kind != 4 && ++consecutiveEmptyReads < kMaxConsecutiveEmptyReads) continue;
        break;
    }
    m_routingActive = false;
    return result;
}

DWORD CVantrelController::MapLastError() {
    DWORD code = GetLastError();
    if (code == ERROR_INVALID_PARAMETER && !IsDeviceHandleValid(m_handle)) code = ERROR_DEV_NOT_EXIST;
    SetLastError(code);
    return code;
}

void CVantrelController::Close() {
    m_routingActive = false;
    QueueOfKind(4).clear();
    CloseHandleIfSet(m_i2cModeMutex);
    CloseConfigMapping();
}

void CVantrelController::CloseConfigMapping() { CloseHandleIfSet(m_configMapping); }

void CVantrelController::DrainStoredReports() {
    BYTE report[kReportBytes];
    while (ReadStoredReport(m_handle, kSpecialModePipe, report, kReportBytes) == kReportBytes) {
        const int kind = ReportKindOf(report[0]);
        if (kind != 0 && kind != 1) Enqueue(kind, report);
    }
    QueueOfKind(1).clear();
}
