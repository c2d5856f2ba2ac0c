// Timed report reads and writes: the buffer-level WriteReport and ReadReport cut a
// caller's buffer into whole reports; WritePipe writes one report and sleeps
// alertably for its completion; ReadPipe hands out the oldest stored report or
// waits for the pipe's reader thread to store one.
#include <string.h>

#include "library_state.h"

namespace {

BOOL IsOpenFile(HANDLE file) { return file != NULL && file != INVALID_HANDLE_VALUE; }

BOOL IsReportLengthUsable(DWORD length) { return length >= 1 && length <= REPORT_SLOT_BYTES; }

// The checks WriteReport, ReadReport and ReadStoredReport share; the pipe's report
// length for the direction, or 0 when the call is refused (ERROR_INVALID_PARAMETER
// already set). A pipe whose length is 0 or above one slot is refused, so that the
// piece loops always make progress.
DWORD CheckedReportLength(DeviceHandle handle, DWORD pipe, const void* data, DWORD length, BOOL forWrites) {
    DWORD reportLength = 0;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (record != NULL && record->magic == DEVICE_MAGIC_LIVE && (data != NULL || length == 0) && pipe < PIPE_COUNT &&
        record->claimed) {
        const HIDP_CAPS* caps = &record->pipes[pipe].caps;
        reportLength = forWrites ? caps->OutputReportByteLength : caps->InputReportByteLength;
        if (!IsReportLengthUsable(reportLength)) reportLength = 0;
    }
    UnlockDeviceTable();
    SetLastError(reportLength != 0 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
    return reportLength;
}

// Waits alertably until the write's completion routine ran. Used after a write was
// cancelled or its record torn down (which closes the file and so cancels it): the
// late completion then runs here, never during a later write's sleep.
void AwaitWriteCompletion(void) {
    while (!g_library.writeBlock.writeCompletionRan) SleepEx(INFINITE, TRUE);
}

// Sleeps alertably until the write's completion ran or `timeout` passed; TRUE when it ran.
BOOL SleepUntilWriteCompleted(DWORD timeout) {
    while (!g_library.writeBlock.writeCompletionRan) {
        if (SleepEx(timeout, TRUE) != WAIT_IO_COMPLETION) return g_library.writeBlock.writeCompletionRan;
    }
    return TRUE;
}

// Takes the pipe's readMutex without holding tableMutex, since the reader that
// holds it needs tableMutex back after its wait. The wait also ends when the
// pipe's reader ends or the library shuts down. TRUE with tableMutex held and the
// record found again; FALSE with ERROR_TIMEOUT set and no lock held.
BOOL AcquireReadMutex(DeviceHandle handle, DWORD pipe, HANDLE* readMutex) {
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (record == NULL || record->pipes[pipe].readMutex == NULL) {
        UnlockDeviceTable();
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    *readMutex = record->pipes[pipe].readMutex;
    const HANDLE waits[] = {*readMutex, record->pipes[pipe].readerExited, g_library.shutdownEvent};
    UnlockDeviceTable();
    const DWORD result = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED_0) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    LockDeviceTable();
    record = LookupDeviceHandle(handle);
    if (record == NULL || record->pipes[pipe].readMutex != *readMutex) {
        ReleaseMutex(*readMutex);
        UnlockDeviceTable();
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

// Writes one report and sleeps alertably for its completion.
DWORD WriteOneReport(DeviceHandle handle, DWORD pipe, const void* data, LONG mode) {
    WriteBlock* block = &g_library.writeBlock;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    if (record == NULL || record->magic != DEVICE_MAGIC_LIVE || record->modeStamp != mode || data == NULL ||
        pipe >= PIPE_COUNT || !record->claimed) {
        UnlockDeviceTable();
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    PipeState* pipeState = &record->pipes[pipe];
    const DWORD reportLength = pipeState->caps.OutputReportByteLength;
    memset(block, 0, sizeof *block);
    block->writeInFlightFile = pipeState->writeFile;
    if (!IsOpenFile(block->writeInFlightFile) || !IsReportLengthUsable(reportLength)) {
        UnlockDeviceTable();
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    block->writeOverlapped.hEvent = block;
    if (!WriteFileEx(block->writeInFlightFile, data, reportLength, &block->writeOverlapped, WriteCompletion) &&
        GetLastError() != ERROR_IO_PENDING) {
        UnlockDeviceTable();
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD timeout = record->writeTimeout;
    UnlockDeviceTable();

    const BOOL completed = SleepUntilWriteCompleted(timeout);

    LockDeviceTable();
    if (LookupDeviceHandle(handle) == NULL) {
        UnlockDeviceTable();
        AwaitWriteCompletion();
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    if (!completed) {
        CancelPipeIo(block->writeInFlightFile);
        UnlockDeviceTable();
        AwaitWriteCompletion();
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    UnlockDeviceTable();
    if (block->writeDone == 1) {
        SetLastError(ERROR_SUCCESS);
        return reportLength;
    }
    SetLastError(block->writeError);
    return 0;
}

// Hands out the oldest stored report, or waits for the reader thread to store one.
DWORD ReadOneReport(DeviceHandle handle, DWORD pipe, void* buffer, LONG mode) {
    LockDeviceTable();
    const DeviceRecord* record = LookupDeviceHandle(handle);
    const BOOL accepted = record != NULL && buffer != NULL && pipe < PIPE_COUNT &&
                          record->pipes[pipe].readMutex != NULL && record->modeStamp == mode &&
                          (record->magic == DEVICE_MAGIC_LIVE || record->magic == DEVICE_MAGIC_GONE);
    UnlockDeviceTable();
    if (!accepted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    HANDLE readMutex = NULL;
    if (!AcquireReadMutex(handle, pipe, &readMutex)) return 0;
    DeviceRecord* current = LookupDeviceHandle(handle);
    const DWORD reportLength = current->pipes[pipe].caps.InputReportByteLength;

    BOOL shuttingDown = FALSE;
    const DWORD delivered = WaitForReport(current, pipe, buffer, &shuttingDown);
    if (shuttingDown) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    current = LookupDeviceHandle(handle);
    if (current != NULL) ReleaseMutex(current->pipes[pipe].readMutex);
    UnlockDeviceTable();
    SetLastError(delivered ? ERROR_SUCCESS : ERROR_TIMEOUT);
    return delivered ? reportLength : 0;
}

}  // namespace

DWORD WriteReport(DeviceHandle handle, DWORD pipe, const void* data, DWORD length) {
    const DWORD reportLength = CheckedReportLength(handle, pipe, data, length, TRUE);
    if (reportLength == 0) return 0;
    const BYTE* bytes = static_cast<const BYTE*>(data);
    DWORD total = 0;
    while (length - total >= reportLength) {
        if (WritePipe(handle, pipe, bytes + total, LIBRARY_MODE_SYNCHRONOUS) != reportLength) break;
        total += reportLength;
    }
    return total;
}

DWORD ReadReport(DeviceHandle handle, DWORD pipe, void* buffer, DWORD length) {
    const DWORD reportLength = CheckedReportLength(handle, pipe, buffer, length, FALSE);
    if (reportLength == 0) return 0;
    BYTE* bytes = static_cast<BYTE*>(buffer);
    DWORD total = 0;
    while (length - total >= reportLength) {
        BYTE report[REPORT_SLOT_BYTES];
        if (ReadPipe(handle, pipe, report, LIBRARY_MODE_SYNCHRONOUS) != reportLength) break;
        memcpy(bytes + total, report, reportLength);
        total += reportLength;
    }
    return total;
}

DWORD ReadStoredReport(DeviceHandle handle, DWORD pipe, void* buffer, DWORD length) {
    const DWORD reportLength = CheckedReportLength(handle, pipe, buffer, length, FALSE);
    if (reportLength == 0 || length < reportLength) return 0;
    DWORD delivered = 0;
    LockDeviceTable();
    DeviceRecord* record = LookupDeviceHandle(handle);
    BYTE report[REPORT_SLOT_BYTES];
    if (record != NULL && RingTakeOldest(record, pipe, report)) {
        memcpy(buffer, report, reportLength);
        delivered = reportLength;
    }
    UnlockDeviceTable();
    SetLastError(ERROR_SUCCESS);
    return delivered;
}

// Counted in flight, so that ShutdownLibrary never closes what the write still uses.
DWORD WritePipe(DeviceHandle handle, DWORD pipe, const void* data, LONG mode) {
    InterlockedIncrement(&g_library.operationsInFlight);
    const DWORD written = WriteOneReport(handle, pipe, data, mode);
    InterlockedDecrement(&g_library.operationsInFlight);
    return written;
}

VOID WINAPI WriteCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED overlapped) {
    WriteBlock* block = static_cast<WriteBlock*>(overlapped->hEvent);
    DWORD transferred = 0;
    GetOverlappedResult(block->writeInFlightFile, overlapped, &transferred, FALSE);
    block->writeDone = errorCode == ERROR_SUCCESS && bytesTransferred != 0;
    if (errorCode != ERROR_SUCCESS) {
        block->writeError = errorCode;
    } else {
        // A write that moved nothing is a failure, never a success with code 0.
        block->writeError = bytesTransferred == 0 ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
    }
    block->writeCompletionRan = 1;
}

// Counted in flight, so that ShutdownLibrary never closes what the read still uses.
DWORD ReadPipe(DeviceHandle handle, DWORD pipe, void* buffer, LONG mode) {
    InterlockedIncrement(&g_library.operationsInFlight);
    const DWORD delivered = ReadOneReport(handle, pipe, buffer, mode);
    InterlockedDecrement(&g_library.operationsInFlight);
    return delivered;
}

DWORD WaitForReport(DeviceRecord* record, DWORD pipe, void* buffer, BOOL* shuttingDown) {
    *shuttingDown = FALSE;
    if (RingTakeOldest(record, pipe, buffer)) return 1;
    PipeState* pipeState = &record->pipes[pipe];
    const DWORD timeout = record->readTimeout;
    const DWORD start = GetTickCount();
    for (;;) {
        if (record->magic != DEVICE_MAGIC_LIVE || !record->claimed || pipeState->readerThread == NULL) return 0;
        ResetEvent(pipeState->reportAvailable);
        ResetEvent(pipeState->readError);
        // A report stored between the look into the ring and the reset would not
        // end the wait: look again now that the events are clear.
        if (RingTakeOldest(record, pipe, buffer)) return 1;

        DWORD remaining = INFINITE;
        if (timeout != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeout) return 0;
            remaining = timeout - elapsed;
        }
        const HANDLE waits[] = {pipeState->reportAvailable, pipeState->readError, pipeState->readerExited,
                                g_library.shutdownEvent};
        UnlockDeviceTable();
        const DWORD result = WaitForMultipleObjects(4, waits, FALSE, remaining);
        if (result == WAIT_OBJECT_0 + 3) {
            // The library is shutting down and frees every record: touch nothing.
            *shuttingDown = TRUE;
            return 0;
        }
        LockDeviceTable();
        if (LookupDeviceHandle(record) == NULL) return 0;
        if (result != WAIT_OBJECT_0) {
            if (pipeState->reportAvailable != NULL) ResetEvent(pipeState->reportAvailable);
            if (pipeState->readError != NULL) ResetEvent(pipeState->readError);
            return 0;
        }
        // A report was stored: the next pass takes it. If another read took it
        // first, the pass waits out the rest of the time-out instead of returning
        // an empty read.
    }
}
