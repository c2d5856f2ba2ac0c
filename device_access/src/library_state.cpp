// The library state, start-up and shutdown, the handle discipline and the
// synchronous-mode operations on claimed devices.
#include <string.h>

#include "library_state.h"

LibraryState g_library;

namespace {

BOOL IsRecordReadable(const DeviceRecord* record) {
    return record != NULL && record->modeStamp == LIBRARY_MODE_SYNCHRONOUS &&
           (record->magic == DEVICE_MAGIC_LIVE || record->magic == DEVICE_MAGIC_GONE);
}

void CloseHandleIfSet(HANDLE* handle) {
    if (*handle != NULL) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

// Reads pipe 0's attributes of a record under the table lock: its product id or
// its revision.
DWORD QueryAttribute(DeviceHandle handle, BOOL productId) {
    DWORD value = 0;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (IsRecordReadable(record)) {
        const HIDD_ATTRIBUTES* attributes = &record->pipes[0].attributes;
        value = productId ? attributes->ProductID : attributes->VersionNumber;
        SetLastError(ERROR_SUCCESS);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    UnlockDeviceTable();
    return value;
}

}  // namespace

DeviceRecord* LookupDeviceHandle(DeviceHandle handle) {
    for (DeviceRecord* record = g_library.deviceTable; record != NULL; record = record->next) {
        if (record == handle) return record;
    }
    for (DeviceRecord* record = g_library.scanList; record != NULL; record = record->next) {
        if (record == handle) return record;
    }
    return NULL;
}

void LockDeviceTable(void) {
    if (g_library.tableMutex != NULL) WaitForSingleObject(g_library.tableMutex, INFINITE);
}

void UnlockDeviceTable(void) {
    if (g_library.tableMutex != NULL) ReleaseMutex(g_library.tableMutex);
}

DWORD InitializeLibrary(DeviceCallback callback, DWORD context, LONG mode) {
    ShutdownLibrary();
    SetLastError(ERROR_SUCCESS);
    DWORD error = ERROR_SUCCESS;

    g_library.shutdownEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (g_library.shutdownEvent == NULL) error = GetLastError();
    g_library.tableMutex = CreateMutexA(NULL, FALSE, NULL);
    if (g_library.tableMutex == NULL) error = GetLastError();

    if (error == ERROR_SUCCESS && !BindSystemFunctions()) error = GetLastError();
    if (error == ERROR_SUCCESS) {
        // HeapCreate without HEAP_NO_SERIALIZE: reader threads allocate ring slots
        // while the scan allocates and frees records and detail buffers.
        g_library.heap = HeapCreate(0, 4096, 0);
        if (g_library.heap == NULL) error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        ShutdownLibrary();
        SetLastError(error);
        return error;
    }

    g_library.mode = mode;
    g_library.deviceCallback = callback;
    g_library.callbackContext = context;
    if (mode == LIBRARY_MODE_SYNCHRONOUS) RescanDevices();
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

void ShutdownLibrary(void) {
    // Waiting reads wake on the event before the lock is taken. The event is closed
    // only after the records are gone, so no read that wakes on it can meet a
    // closed handle.
    if (g_library.shutdownEvent != NULL) SetEvent(g_library.shutdownEvent);

    LockDeviceTable();
    FreeDeviceList(&g_library.deviceTable);
    UnlockDeviceTable();

    // Reads woken by the event, and writes whose files were just closed, still take
    // the table mutex on their way out. They leave within moments, so a short poll
    // suffices.
    while (InterlockedCompareExchange(&g_library.operationsInFlight, 0, 0) != 0) Sleep(1);
    CloseHandleIfSet(&g_library.tableMutex);
    CloseHandleIfSet(&g_library.shutdownEvent);
    if (g_library.heap != NULL) {
        HeapDestroy(g_library.heap);
        g_library.heap = NULL;
    }
    UnbindSystemFunctions();
    g_library.mode = LIBRARY_MODE_CLOSED;
    SetLastError(ERROR_SUCCESS);
}

BOOL SetDeviceClaimed(DeviceHandle handle, LONG value, LONG expectedMode) {
    BOOL claimedNow = FALSE;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (record != NULL && record->modeStamp == expectedMode &&
        (record->magic == DEVICE_MAGIC_LIVE || (record->magic == DEVICE_MAGIC_GONE && value == 0))) {
        record->claimed = value;
        claimedNow = TRUE;
        SetLastError(ERROR_SUCCESS);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    UnlockDeviceTable();
    return claimedNow;
}

void ClaimArrivedDevice(DWORD event, DeviceHandle handle, DWORD /*context*/) {
    if (event != DEVICE_EVENT_ARRIVED) return;
    if (g_library.handleCount >= MAX_CLAIMED_DEVICES) return;
    if (!SetDeviceClaimed(handle, 1, LIBRARY_MODE_SYNCHRONOUS)) return;
    g_library.handles[g_library.handleCount] = handle;
    ++g_library.handleCount;
}

DeviceHandle OpenAllDevices(void) {
    if (g_library.mode == LIBRARY_MODE_WINDOW_DRIVEN) {
        SetLastError(ERROR_ALREADY_ASSIGNED);
        return NULL;
    }
    const DWORD error = InitializeLibrary(ClaimArrivedDevice, 0, LIBRARY_MODE_SYNCHRONOUS);
    if (error != ERROR_SUCCESS) {
        CloseAllDevices(NULL);
        // The shutdown left ERROR_SUCCESS; the caller learns why start-up failed.
        SetLastError(error);
    }
    return g_library.handles[0];
}

void CloseAllDevices(DeviceHandle /*unused*/) {
    ShutdownLibrary();
    memset(g_library.handles, 0, sizeof g_library.handles);
    g_library.handleCount = 0;
}

DWORD ClaimedDeviceCount(void) { return g_library.handleCount; }

DeviceHandle ClaimedDeviceAt(DWORD index) {
    if (index >= 1 && index <= g_library.handleCount && g_library.mode == LIBRARY_MODE_SYNCHRONOUS) {
        SetLastError(ERROR_SUCCESS);
        return g_library.handles[index - 1];
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
}

DWORD QueryProductId(DeviceHandle handle) { return QueryAttribute(handle, TRUE); }

DWORD QueryRevision(DeviceHandle handle) { return QueryAttribute(handle, FALSE); }

BOOL QuerySerialNumber(DeviceHandle handle, WCHAR serial[SERIAL_NUMBER_UNITS]) {
    BOOL notEmpty = FALSE;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (serial != NULL && IsRecordReadable(record)) {
        memcpy(serial, record->serial, sizeof record->serial);
        notEmpty = serial[0] != 0;
        SetLastError(ERROR_SUCCESS);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    UnlockDeviceTable();
    return notEmpty;
}

BOOL IsDeviceHandleValid(DeviceHandle handle) { return LookupDeviceHandle(handle) != NULL; }

BOOL SetReadTimeout(DeviceHandle handle, DWORD milliseconds) {
    BOOL set = FALSE;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (record != NULL && record->magic == DEVICE_MAGIC_LIVE &&
        record->modeStamp == LIBRARY_MODE_SYNCHRONOUS) {
        record->readTimeout = milliseconds;
        set = TRUE;
        SetLastError(ERROR_SUCCESS);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    UnlockDeviceTable();
    return set;
}
