// The interface between the stand-in's file I/O machinery and the devices behind
// CreateFileA paths.
//
// A device opener turns a path into a DeviceFile. The stand-in owns each open
// DeviceFile through a file handle: it runs the overlapped reads and writes that
// ReadFileEx and WriteFileEx start, one report per call, cancels them for CancelIo
// and CloseHandle, and destroys the DeviceFile once the last handle is closed and
// no operation is running any more.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "standin/win32_types.h"

namespace standin {

struct IoOutcome {
    DWORD error;  // ERROR_SUCCESS or the Windows error code the operation ends with
    DWORD bytes;
};

// Tells a blocking device operation to give up. A device file polls descriptor()
// (readable once cancellation was requested) beside its own descriptors, or checks
// requested(); it must then return ERROR_OPERATION_ABORTED promptly.
class IoCancellation {
public:
    IoCancellation();
    ~IoCancellation();
    IoCancellation(const IoCancellation&) = delete;
    IoCancellation& operator=(const IoCancellation&) = delete;

    void request();
    // Clears a request; the machinery does this before it starts the next operation.
    void reset();
    bool requested() const { return requested_.load(std::memory_order_acquire); }
    int descriptor() const { return eventDescriptor_; }

private:
    std::atomic<bool> requested_{false};
    int eventDescriptor_;
};

class DeviceFile {
public:
    virtual ~DeviceFile() = default;

    // Reads one report into the buffer; blocks until one arrives, the device fails
    // or the cancellation is requested.
    virtual IoOutcome readReport(void* buffer, DWORD length, const IoCancellation& cancel) = 0;
    // Writes one report; blocks until it is taken, the device fails or the
    // cancellation is requested.
    virtual IoOutcome writeReport(const void* data, DWORD length, const IoCancellation& cancel) = 0;

    // The same operations when they can finish without waiting, or nothing when
    // they would have to wait. The machinery tries these first, so that an
    // operation that can finish at once needs no hand-off to another thread.
    virtual std::optional<IoOutcome> tryReadReport(void* /*buffer*/, DWORD /*length*/) {
        return std::nullopt;
    }
    virtual std::optional<IoOutcome> tryWriteReport(const void* /*data*/, DWORD /*length*/) {
        return std::nullopt;
    }

    // A descriptor that poll() reports readable whenever tryReadReport may find a
    // report or the device's end, or -1. A device with one has its reads performed
    // by the threads that wait for them, in their alertable waits, instead of by a
    // worker thread: a report then reaches its reader with no hand-off between threads.
    virtual int readinessDescriptor() const { return -1; }
};

struct DeviceOpenRequest {
    std::string path;
    DWORD access;  // GENERIC_READ, GENERIC_WRITE, both, or 0 for query only
    DWORD shareMode;
    bool overlapped;
};

// Returns the opened device, or null with `error` set: ERROR_FILE_NOT_FOUND when the
// path is not one of the opener's, so that the next opener is asked.
using DeviceOpener =
    std::function<std::unique_ptr<DeviceFile>(const DeviceOpenRequest& request, DWORD& error)>;

// Openers are asked in the order of registration.
void registerDeviceOpener(DeviceOpener opener);

// The DeviceFile behind an open file handle, or null (last error ERROR_INVALID_HANDLE)
// when the handle is not an open device file. Used by the HID queries.
std::shared_ptr<DeviceFile> deviceFileOf(HANDLE file);

}  // namespace standin
