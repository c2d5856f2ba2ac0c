// A connected board: its I2C mode, the routing of its special-mode reports, its
// configuration EEPROM, the configuration record it shares with other processes,
// and its board identifiers.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <string>

#include "ControllerConfig.h"
#include "InterfaceChip.h"

// Enters a critical section for the lifetime of the guard, when asked to.
class CriticalSectionGuard {
public:
    CriticalSectionGuard(CRITICAL_SECTION& section, bool enterNow);
    ~CriticalSectionGuard();
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& m_section;
    bool m_entered;
};

// Hexadecimal text ("1A", "0x1a") to a 32-bit value; parsing stops at the first
// character that is not a hexadecimal digit.
int HexToInt(const char* text);

class CVantrelController : public InterfaceChip {
public:
    static constexpr int kReportBytes = 8;
    static constexpr int kReportKinds = 8;
    static constexpr int kEepromDevices = 8;

    explicit CVantrelController(DeviceHandle handle = nullptr);
    virtual ~CVantrelController();

    // "%X-%s:%s" of product id, serial number and suffix.
    std::string MakeObjectName(const char* suffix);
    bool IsI2CModeOn();
    bool SetI2CMode(bool on);
    // The oldest report of the kind, from its queue or from the pipe: 8, 0 (nothing
    // arrived), -1 (refused, or nothing delivered), or the count of a short read.
    int ReadRoutedReport(int kind, DWORD pipe, BYTE* destination, int length);
    DWORD MapLastError();
    void Close();

    // I2C transfers on pipe 1: 0 for success, -1 for a refusal, else a Windows error.
    int WriteI2C(const BYTE request[kReportBytes]);
    int ReadI2CResponse(BYTE response[kReportBytes]);
    // Reads 1 to 4 consecutive bytes (one per output given) of EEPROM device 1 to 8.
    bool ReadEeprom(int device, BYTE address, int* first, int* second = nullptr, int* third = nullptr,
                    int* fourth = nullptr);
    bool ReadConfiguration(bool force);
    bool PublishConfiguration();
    bool LoadSharedConfiguration();

    bool GetBoardId(int& first, int& second, int device, bool refresh);
    bool GetBoardIdString(std::string& text, int device, bool refresh);

    const ControllerConfig& Configuration() const { return m_config; }
    // Reports of the kind that wait in its queue.
    std::size_t QueuedReports(int kind) const;

private:
    using SpecialReport = std::array<BYTE, kReportBytes>;
    using ReportQueue = std::deque<SpecialReport>;

    ReportQueue& QueueOfKind(int kind);
    const ReportQueue& QueueOfKind(int kind) const;
    // Appends a copy of the report to its kind's queue; false when the queue can't grow.
    bool Enqueue(int kind, const BYTE* report);
    // Takes what pipe 1 stored before a transfer starts: answers to requests this
    // controller did not send are dropped, reports of other kinds are queued.
    void DrainStoredReports();
    // Reads the configuration EEPROM into m_config; the readout lock is held.
    bool ReadConfigurationLocked();
    // Creates or opens the board's shared configuration mapping in m_configMapping.
    bool OpenConfigMapping();
    // A view of the whole record; without one the mapping is closed again.
    void* MapConfigView();
    void CloseConfigMapping();

    ControllerConfig m_config = {};
    CRITICAL_SECTION m_i2cLock;
    // One queue per report kind, in the order of kinds 4, 1, 2, 3, 5, 6, 7, 8.
    std::array<ReportQueue, kReportKinds> m_reportQueues;
    std::atomic<bool> m_routingActive{false};
    HANDLE m_i2cModeMutex = nullptr;
    int m_boardIdCache[kEepromDevices][2];
    HANDLE m_configMapping = nullptr;
};
