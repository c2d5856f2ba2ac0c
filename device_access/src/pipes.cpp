// The pipes of a board: one reader thread per pipe keeps one overlapped read
// pending and stores every input report in the pipe's ring, and signals its
// progress through the pipe's events.
#include <string.h>

#include "library_state.h"

namespace {

// The reader's one read block. The OVERLAPPED comes first, so that the completion
// routine finds the flag from the block it is given.
struct PendingRead {
    OVERLAPPED overlapped;
    BOOL completed;  // written and read by the reader thread only
};

VOID WINAPI ReaderReadCompleted(DWORD /*errorCode*/, DWORD /*bytes*/, LPOVERLAPPED overlapped) {
    reinterpret_cast<PendingRead*>(overlapped)->completed = TRUE;
}

enum WaitOutcome { READ_COMPLETED, READ_ABANDONED, STOP_REQUESTED };

void CloseHandleIfSet(HANDLE* handle) {
    if (*handle != NULL) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

DWORD AdvancePosition(DWORD position) { return (position + 1) & (REPORT_RING_SLOTS - 1); }

// A cancelled read still completes; its block and buffer may be reused only after
// its completion routine ran, and the wait for it stays alertable so that the
// routine can run. (Should CancelIo be missing, the read is awaited until it
// completes by itself: the buffer it fills lives on this thread's stack.)
void AwaitCompletion(const PendingRead* read) {
    while (!read->completed) SleepEx(READER_WAIT_SLICE_MS, TRUE);
}

// One slice of pause before a read is issued again after a failure, so that a
// device whose every read fails at once never makes the reader spin. TRUE when a
// stop was requested meanwhile.
BOOL PauseOneSlice(const PipeState* pipe) {
    return WaitForSingleObjectEx(pipe->stopRequest, READER_WAIT_SLICE_MS, TRUE) == WAIT_OBJECT_0;
}

// Waits for the pending read in slices. Before the first failure a read may wait
// indefinitely; in error mode every slice without a completion cancels it and
// signals readError, so that a reader waiting on a failed, silent device wakes
// within one slice.
WaitOutcome AwaitRead(const PipeState* pipe, PendingRead* read, BOOL errorMode) {
    for (;;) {
        const DWORD result = WaitForSingleObjectEx(pipe->stopRequest, READER_WAIT_SLICE_MS, TRUE);
        if (result == WAIT_IO_COMPLETION) {
            if (read->completed) return READ_COMPLETED;
            continue;
        }
        if (result == WAIT_OBJECT_0) return STOP_REQUESTED;
        if (result == WAIT_TIMEOUT && !errorMode) continue;
        CancelPipeIo(pipe->readFile);
        SetEvent(pipe->readError);
        AwaitCompletion(read);
        return READ_ABANDONED;
    }
}

DWORD RunPipeReader(DeviceRecord* record, DWORD pipeIndex) {
    PipeState* pipe = &record->pipes[pipeIndex];
    BYTE buffer[REPORT_SLOT_BYTES];
    PendingRead read;
    memset(&read, 0, sizeof read);
    BOOL errorMode = FALSE;

    for (;;) {
        memset(buffer, 0, sizeof buffer);
        read.completed = FALSE;
        if (!ReadFileEx(pipe->readFile, buffer, pipe->caps.InputReportByteLength, &read.overlapped,
                        ReaderReadCompleted)) {
            // Refused at once (a device that has just gone away): no completion will
            // come, so the refusal is reported like a failed read.
            SetEvent(pipe->readError);
            errorMode = TRUE;
            if (PauseOneSlice(pipe)) break;
            continue;
        }
        const WaitOutcome outcome = AwaitRead(pipe, &read, errorMode);
        if (outcome == STOP_REQUESTED) {
            CancelPipeIo(pipe->readFile);
            AwaitCompletion(&read);
            break;
        }
        if (outcome == READ_ABANDONED) continue;

        DWORD bytes = 0;
        if (!GetOverlappedResult(pipe->readFile, &read.overlapped, &bytes, TRUE)) {
            SetEvent(pipe->readError);
            errorMode = TRUE;
            if (PauseOneSlice(pipe)) break;
        } else if (bytes == 0) {
            SetEvent(pipe->readError);
            if (PauseOneSlice(pipe)) break;
        } else {
            RingPut(record, pipeIndex, buffer, bytes);
            SetEvent(pipe->reportAvailable);
        }
    }
    SetEvent(pipe->readerExited);
    return 0;
}

DWORD WINAPI PipeReaderThread0(LPVOID record) { return RunPipeReader(static_cast<DeviceRecord*>(record), 0); }

DWORD WINAPI PipeReaderThread1(LPVOID record) { return RunPipeReader(static_cast<DeviceRecord*>(record), 1); }

BOOL IsReportLengthSupported(USHORT length) { return length >= 1 && length <= REPORT_SLOT_BYTES; }

// A reader thread created suspended for a pipe whose start then failed has never
// run and would never set readerExited. It is told to stop before it is resumed,
// so it ends at once, and the thread itself is awaited.
void DisposeOfUnstartedReader(PipeState* pipe) {
    SetEvent(pipe->stopRequest);
    ResumeThread(pipe->readerThread);
    WaitForSingleObject(pipe->readerThread, INFINITE);
    CloseHandleIfSet(&pipe->readerThread);
}

}  // namespace

DWORD StartPipe(DeviceRecord* record, DWORD pipeIndex) {
    PipeState* pipe = &record->pipes[pipeIndex];
    // Reads and writes go through 64-byte buffers and slots.
    if (!IsReportLengthSupported(pipe->caps.InputReportByteLength) ||
        !IsReportLengthSupported(pipe->caps.OutputReportByteLength)) {
        return 0;
    }
    pipe->reportAvailable = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->readError = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->stopRequest = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->readerExited = CreateEventA(NULL, TRUE, FALSE, NULL);
    pipe->ringMutex = CreateMutexA(NULL, FALSE, NULL);
    pipe->readMutex = CreateMutexA(NULL, FALSE, NULL);
    pipe->readerThread = NULL;
    if (pipe->stopRequest != NULL && pipe->readerExited != NULL) {
        pipe->readerThread = CreateThread(NULL, 0, pipeIndex == 0 ? PipeReaderThread0 : PipeReaderThread1, record,
                                          CREATE_SUSPENDED, NULL);
    }
    if (pipe->reportAvailable != NULL && pipe->readError != NULL && pipe->stopRequest != NULL &&
        pipe->readerExited != NULL && pipe->ringMutex != NULL && pipe->readMutex != NULL &&
        pipe->readerThread != NULL) {
        ResumeThread(pipe->readerThread);
        return 1;
    }
    if (pipe->readerThread != NULL) DisposeOfUnstartedReader(pipe);
    StopPipe(record, pipeIndex);
    return 0;
}

void StopPipe(DeviceRecord* record, DWORD pipeIndex) {
    PipeState* pipe = &record->pipes[pipeIndex];
    if (pipe->readerThread != NULL) {
        SetEvent(pipe->stopRequest);
        WaitForSingleObject(pipe->readerExited, INFINITE);
        WaitForSingleObject(pipe->readerThread, INFINITE);
        CloseHandleIfSet(&pipe->readerThread);
    }
    CloseHandleIfSet(&pipe->reportAvailable);
    CloseHandleIfSet(&pipe->readError);
    CloseHandleIfSet(&pipe->readerExited);
    CloseHandleIfSet(&pipe->stopRequest);
    CloseHandleIfSet(&pipe->ringMutex);
    CloseHandleIfSet(&pipe->readMutex);
    for (DWORD slot = 0; slot < REPORT_RING_SLOTS; ++slot) {
        if (pipe->ring.slots[slot] != NULL) HeapFree(g_library.heap, 0, pipe->ring.slots[slot]);
        pipe->ring.slots[slot] = NULL;
    }
    pipe->ring.reportCount = 0;
    pipe->ring.readPos = 0;
    pipe->ring.writePos = 0;
}

DWORD RingPut(DeviceRecord* record, DWORD pipeIndex, const void* data, DWORD length) {
    PipeState* pipe = &record->pipes[pipeIndex];
    ReportRing* ring = &pipe->ring;
    DWORD storedInFreeSlot = 0;
    WaitForSingleObject(pipe->ringMutex, INFINITE);
    if (ring->reportCount == REPORT_RING_SLOTS) {
        memcpy(ring->slots[ring->writePos], data, length);
        ring->writePos = AdvancePosition(ring->writePos);
        ring->readPos = AdvancePosition(ring->readPos);
    } else {
        if (ring->slots[ring->writePos] == NULL) {
            ring->slots[ring->writePos] = static_cast<BYTE*>(HeapAlloc(g_library.heap, 0, REPORT_SLOT_BYTES));
        }
        // Without a slot block the report is dropped and the ring stays as it was.
        if (ring->slots[ring->writePos] != NULL) {
            memcpy(ring->slots[ring->writePos], data, length);
            ++ring->reportCount;
            ring->writePos = AdvancePosition(ring->writePos);
            storedInFreeSlot = 1;
        }
    }
    ReleaseMutex(pipe->ringMutex);
    return storedInFreeSlot;
}

DWORD RingTakeOldest(DeviceRecord* record, DWORD pipeIndex, void* buffer) {
    PipeState* pipe = &record->pipes[pipeIndex];
    ReportRing* ring = &pipe->ring;
    if (pipe->ringMutex == NULL) return 0;
    DWORD delivered = 0;
    WaitForSingleObject(pipe->ringMutex, INFINITE);
    if (ring->reportCount > 0) {
        memcpy(buffer, ring->slots[ring->readPos], REPORT_SLOT_BYTES);
        ring->readPos = AdvancePosition(ring->readPos);
        --ring->reportCount;
        if (ring->reportCount == 0) {
            ring->readPos = 0;
            ring->writePos = 0;
        }
        delivered = 1;
    }
    ReleaseMutex(pipe->ringMutex);
    return delivered;
}

DWORD CancelPipeIo(HANDLE file) {
    typedef BOOL(WINAPI * CancelIo_t)(HANDLE);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == NULL) return 0;
    FARPROC address = GetProcAddress(kernel, "CancelIo");
    if (address == NULL) return 0;
    reinterpret_cast<CancelIo_t>(reinterpret_cast<void (*)()>(address))(file);
    return 1;
}
