// How many reports a pipe's reader thread has stored and nobody has taken yet,
// read as the library reads it: under the table lock (the record stays valid)
// and the ring's own mutex (the reader thread changes the count).
#pragma once

#include "library_state.h"

namespace test_support {

inline DWORD storedReports(DeviceHandle handle, DWORD pipeIndex) {
    DWORD stored = 0;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (record != nullptr && record->pipes[pipeIndex].ringMutex != NULL) {
        PipeState& pipe = record->pipes[pipeIndex];
        WaitForSingleObject(pipe.ringMutex, INFINITE);
        stored = pipe.ring.reportCount;
        ReleaseMutex(pipe.ringMutex);
    }
    UnlockDeviceTable();
    return stored;
}

}  // namespace test_support
