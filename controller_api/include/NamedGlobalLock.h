// The cross-process configuration readout lock of one board. The existence of a
// mutex of the lock's name is the lock: its holder created the mutex, every other
// process waits until the name is gone. Nobody ever waits on the mutex itself.
#pragma once

#include <string>

#include "win32_services.h"

class NamedGlobalLock {
public:
    explicit NamedGlobalLock(const std::string& serialNumber);
    ~NamedGlobalLock();
    NamedGlobalLock(const NamedGlobalLock&) = delete;
    NamedGlobalLock& operator=(const NamedGlobalLock&) = delete;

    void Acquire();
    void Release();

private:
    std::string m_name;
    HANDLE m_mutex = nullptr;
};
