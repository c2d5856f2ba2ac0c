#include "NamedGlobalLock.h"

namespace {

constexpr DWORD kRetestIntervalMs = 200;
constexpr DWORD kSettleAfterCreationMs = 5;
// A holder reads one board's configuration, a few seconds at most. A name that
// stays longer belongs to a process that hangs; the readout then goes on without
// the lock rather than never.
constexpr DWORD kLongestWaitMs = 60000;

// Only an absent name means the lock is free: a name that exists but can't be
// opened (another user's or an elevated process's mutex) is taken.
bool IsTaken(const std::string& name) {
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return true;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

NamedGlobalLock::NamedGlobalLock(const std::string& serialNumber) : m_name("GlobalLock:" + serialNumber) {}

NamedGlobalLock::~NamedGlobalLock() { Release(); }

void NamedGlobalLock::Acquire() {
    if (m_mutex != nullptr) return;
    DWORD waited = 0;
    for (;;) {
        while (waited < kLongestWaitMs && IsTaken(m_name)) {
            Sleep(kRetestIntervalMs);
            waited += kRetestIntervalMs;
        }
        m_mutex = CreateMutexA(nullptr, FALSE, m_name.c_str());
        if (m_mutex == nullptr) return;
        // Another process created the name between the test and the creation: it
        // holds the lock, so this one waits again.
        if (GetLastError() == ERROR_ALREADY_EXISTS && waited < kLongestWaitMs) {
            CloseHandle(m_mutex);
            m_mutex = nullptr;
            continue;
        }
        Sleep(kSettleAfterCreationMs);
        return;
    }
}

void NamedGlobalLock::Release() {
    if (m_mutex != nullptr) {
        CloseHandle(m_mutex);
        m_mutex = nullptr;
    }
}
