// Device files and overlapped I/O.
//
// A file handle owns one DeviceFile and two channels, one for reads and one for
// writes. A channel serves its requests in the order they were issued: one that
// can finish at once is done on the issuing thread; the others go to the
// channel's worker thread, which blocks in the device. Reads of a device that
// tells when it can be read are the exception: they wait in the channel until the
// issuing thread, in an alertable wait, or a caller of GetOverlappedResult finds
// the device readable and performs them. Every finished request records its
// outcome in the caller's OVERLAPPED block and queues its completion routine to
// the thread that issued it, which runs it in an alertable wait.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "hid/hid_modules.h"
#include "kernel.h"
#include "standin/device_file.h"

namespace standin {
namespace {

// OVERLAPPED.Internal holds STATUS_PENDING while a request runs, and afterwards 0
// or the Windows error code tagged with a customer bit, so that no error code can
// be taken for the pending mark.
constexpr ULONG_PTR kStatusPending = 0x103;

constexpr int kPerformedReadRecheckMs = 50;
constexpr ULONG_PTR kErrorTag = 0xE0000000u;

ULONG_PTR statusOf(DWORD error) { return error == ERROR_SUCCESS ? 0 : (kErrorTag | error); }
DWORD errorOf(ULONG_PTR status) { return status == 0 ? ERROR_SUCCESS : static_cast<DWORD>(status & ~kErrorTag); }

struct IoRequest {
    ThreadRef issuer;
    LPOVERLAPPED overlapped;
    void* buffer;
    DWORD length;
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
};

class FileObject;

class IoChannel : public ReadinessWatch {
public:
    IoChannel(FileObject& file, bool writes) : file_(file), writes_(writes) {}
    ~IoChannel() override { shutDown(); }
    IoChannel(const IoChannel&) = delete;
    IoChannel& operator=(const IoChannel&) = delete;

    // False when the file is being closed. `owner` keeps the file alive while the
    // issuing thread watches it.
    bool issue(IoRequest request, const std::shared_ptr<FileObject>& owner);
    void cancelIssuedBy(const ThreadState& thread) override;
    void shutDown();

    // Reads performed by the threads that wait for them (see ReadinessWatch).
    bool performedByWaiters() const;
    int descriptor() const override;
    void attempt() override;
    // Whether the block belongs to a read queued here; such a read progresses only
    // when somebody performs it.
    bool holds(LPOVERLAPPED overlapped);

private:
    void serve();
    IoOutcome perform(const IoRequest& request);
    // Ends requests taken out of the queue.
    void finish(const std::deque<IoRequest>& requests, IoOutcome outcome);
    void unwatch(const IoRequest& request);

    FileObject& file_;
    const bool writes_;
    std::mutex lock_;
    std::condition_variable work_;
    std::deque<IoRequest> queue_;
    std::optional<IoRequest> running_;
    IoCancellation cancellation_;
    bool closing_ = false;
    std::thread worker_;
};

class FileObject : public KernelObject {
public:
    FileObject(std::shared_ptr<DeviceFile> device, DWORD access, bool overlapped)
        : KernelObject(ObjectType::File), device_(std::move(device)), access_(access),
          overlapped_(overlapped) {}

    void lastHandleClosed() override {
        reads_.shutDown();
        writes_.shutDown();
    }

    const std::shared_ptr<DeviceFile>& device() const { return device_; }
    DWORD access() const { return access_; }
    bool overlapped() const { return overlapped_; }
    IoChannel& channel(bool writes) { return writes ? writes_ : reads_; }

    void markPending(LPOVERLAPPED overlapped) {
        std::lock_guard<std::mutex> guard(resultLock_);
        overlapped->Internal = kStatusPending;
        overlapped->InternalHigh = 0;
    }

    void complete(const IoRequest& request, IoOutcome outcome) {
        {
            std::lock_guard<std::mutex> guard(resultLock_);
            request.overlapped->InternalHigh = outcome.bytes;
            request.overlapped->Internal = statusOf(outcome.error);
        }
        resultChanged_.notify_all();
        if (request.routine == nullptr) return;
        queueCompletionRoutine(request.issuer, [routine = request.routine, outcome,
                                                overlapped = request.overlapped] {
            routine(outcome.error, outcome.bytes, overlapped);
        });
    }

    // The outcome recorded in the block, waiting for it when asked to. A read that
    // waits for somebody to perform it is performed here when it can be.
    std::optional<IoOutcome> result(LPOVERLAPPED overlapped, bool wait) {
        if (reads_.performedByWaiters()) reads_.attempt();
        while (wait && reads_.holds(overlapped)) {
            pollfd readable{reads_.descriptor(), POLLIN, 0};
            // Bounded, since a cancellation by another thread ends the read too.
            poll(&readable, 1, kPerformedReadRecheckMs);
            reads_.attempt();
        }
        std::unique_lock<std::mutex> lock(resultLock_);
        if (wait) {
            resultChanged_.wait(lock, [overlapped] { return overlapped->Internal != kStatusPending; });
        }
        if (overlapped->Internal == kStatusPending) return std::nullopt;
        return IoOutcome{errorOf(overlapped->Internal), static_cast<DWORD>(overlapped->InternalHigh)};
    }

private:
    std::shared_ptr<DeviceFile> device_;
    DWORD access_;
    bool overlapped_;
    std::mutex resultLock_;
    std::condition_variable resultChanged_;
    IoChannel reads_{*this, false};
    IoChannel writes_{*this, true};
};

IoOutcome IoChannel::perform(const IoRequest& request) {
    DeviceFile& device = *file_.device();
    return writes_ ? device.writeReport(request.buffer, request.length, cancellation_)
                   : device.readReport(request.buffer, request.length, cancellation_);
}

bool IoChannel::performedByWaiters() const { return !writes_ && descriptor() >= 0; }

int IoChannel::descriptor() const { return file_.device()->readinessDescriptor(); }

bool IoChannel::issue(IoRequest request, const std::shared_ptr<FileObject>& owner) {
    std::unique_lock<std::mutex> lock(lock_);
    if (closing_) return false;
    file_.markPending(request.overlapped);
    if (queue_.empty() && !running_) {
        DeviceFile& device = *file_.device();
        std::optional<IoOutcome> atOnce = writes_ ? device.tryWriteReport(request.buffer, request.length)
                                                  : device.tryReadReport(request.buffer, request.length);
        if (atOnce) {
            lock.unlock();
            file_.complete(request, *atOnce);
            return true;
        }
    }
    if (performedByWaiters()) {
        {
            std::lock_guard<std::mutex> guard(dispatcherLock());
            request.issuer->readinessWatches.push_back(std::shared_ptr<ReadinessWatch>(owner, this));
        }
        queue_.push_back(std::move(request));
        return true;
    }
    queue_.push_back(std::move(request));
    if (!worker_.joinable()) worker_ = std::thread([this] { serve(); });
    work_.notify_one();
    return true;
}

void IoChannel::attempt() {
    std::deque<IoRequest> done;
    std::deque<IoOutcome> outcomes;
    {
        std::lock_guard<std::mutex> guard(lock_);
        DeviceFile& device = *file_.device();
        while (!queue_.empty()) {
            std::optional<IoOutcome> outcome = device.tryReadReport(queue_.front().buffer, queue_.front().length);
            if (!outcome) break;
            done.push_back(std::move(queue_.front()));
            queue_.pop_front();
            outcomes.push_back(*outcome);
        }
    }
    for (std::size_t i = 0; i < done.size(); ++i) {
        unwatch(done[i]);
        file_.complete(done[i], outcomes[i]);
    }
}

bool IoChannel::holds(LPOVERLAPPED overlapped) {
    std::lock_guard<std::mutex> guard(lock_);
    return std::any_of(queue_.begin(), queue_.end(),
                       [overlapped](const IoRequest& request) { return request.overlapped == overlapped; });
}

void IoChannel::unwatch(const IoRequest& request) {
    if (!performedByWaiters()) return;
    std::shared_ptr<ReadinessWatch> released;
    {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        auto& watches = request.issuer->readinessWatches;
        auto entry = std::find_if(watches.begin(), watches.end(),
                                  [this](const std::shared_ptr<ReadinessWatch>& watch) { return watch.get() == this; });
        if (entry == watches.end()) return;
        released = std::move(*entry);
        watches.erase(entry);
    }
    // It may be the last reference to the file: it goes without the lock.
    released.reset();
}

void IoChannel::finish(const std::deque<IoRequest>& requests, IoOutcome outcome) {
    for (const IoRequest& request : requests) {
        unwatch(request);
        file_.complete(request, outcome);
    }
}

void IoChannel::serve() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        work_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        running_ = std::move(queue_.front());
        queue_.pop_front();
        cancellation_.reset();
        lock.unlock();
        const IoOutcome outcome = perform(*running_);
        file_.complete(*running_, outcome);
        lock.lock();
        running_.reset();
    }
}

void IoChannel::cancelIssuedBy(const ThreadState& thread) {
    std::deque<IoRequest> cancelled;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->issuer.get() == &thread) {
                cancelled.push_back(std::move(*it));
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
        if (running_ && running_->issuer.get() == &thread) cancellation_.request();
    }
    finish(cancelled, {ERROR_OPERATION_ABORTED, 0});
}

void IoChannel::shutDown() {
    std::deque<IoRequest> cancelled;
    {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
        cancelled.swap(queue_);
        if (running_) cancellation_.request();
    }
    work_.notify_all();
    finish(cancelled, {ERROR_OPERATION_ABORTED, 0});
    if (worker_.joinable()) worker_.join();
}

struct OpenerList {
    std::mutex lock;
    std::vector<DeviceOpener> openers;
};

// The stand-in's own openers come first; tests may register more.
OpenerList& openers() {
    static OpenerList instance;
    static std::once_flag builtins;
    std::call_once(builtins, [] { instance.openers.push_back(hid::hidNodeOpener()); });
    return instance;
}

BOOL startIo(HANDLE file, void* buffer, DWORD length, LPOVERLAPPED overlapped,
             LPOVERLAPPED_COMPLETION_ROUTINE routine, bool writes) {
    auto object = resolveAs<FileObject>(file, ObjectType::File);
    if (!object) return FALSE;
    if (overlapped == nullptr || !object->overlapped()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((object->access() & (writes ? GENERIC_WRITE : GENERIC_READ)) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!object->channel(writes).issue({currentThreadRef(), overlapped, buffer, length, routine}, object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

IoCancellation::IoCancellation() : eventDescriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

IoCancellation::~IoCancellation() {
    if (eventDescriptor_ >= 0) close(eventDescriptor_);
}

void IoCancellation::request() {
    requested_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    if (eventDescriptor_ >= 0) (void)!write(eventDescriptor_, &one, sizeof one);
}

void IoCancellation::reset() {
    requested_.store(false, std::memory_order_release);
    std::uint64_t drained = 0;
    if (eventDescriptor_ >= 0) (void)!read(eventDescriptor_, &drained, sizeof drained);
}

void registerDeviceOpener(DeviceOpener opener) {
    std::lock_guard<std::mutex> guard(openers().lock);
    openers().openers.push_back(std::move(opener));
}

std::shared_ptr<DeviceFile> deviceFileOf(HANDLE file) {
    auto object = resolveAs<FileObject>(file, ObjectType::File);
    return object ? object->device() : nullptr;
}

}  // namespace standin

using namespace standin;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        // Devices can only be opened, never created.
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const DeviceOpenRequest request{lpFileName, dwDesiredAccess, dwShareMode,
                                    (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0};
    std::vector<DeviceOpener> candidates;
    {
        std::lock_guard<std::mutex> guard(openers().lock);
        candidates = openers().openers;
    }
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (const DeviceOpener& opener : candidates) {
        error = ERROR_FILE_NOT_FOUND;
        std::unique_ptr<DeviceFile> device = opener(request, error);
        if (device) {
            SetLastError(ERROR_SUCCESS);
            return insertHandle(std::make_shared<FileObject>(std::move(device), dwDesiredAccess,
                                                             request.overlapped));
        }
        if (error != ERROR_FILE_NOT_FOUND) break;
    }
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                       LPOVERLAPPED lpOverlapped, LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return startIo(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine, false);
}

BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                        LPOVERLAPPED lpOverlapped, LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return startIo(hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, lpOverlapped,
                   lpCompletionRoutine, true);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    auto object = resolveAs<FileObject>(hFile, ObjectType::File);
    if (!object) return FALSE;
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A waiting call waits for the block's event when it has one, as on Windows,
    // where ReadFileEx and WriteFileEx never set it. Should the event be set while
    // the operation is still pending, the call succeeds with the bytes so far,
    // none, as on Windows.
    const bool waitsForEvent = bWait != FALSE && lpOverlapped->hEvent != nullptr;
    std::optional<IoOutcome> outcome = object->result(lpOverlapped, bWait != FALSE && !waitsForEvent);
    if (!outcome && waitsForEvent) {
        if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
        outcome = object->result(lpOverlapped, false).value_or(IoOutcome{ERROR_SUCCESS, 0});
    }
    if (!outcome) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    *lpNumberOfBytesTransferred = outcome->bytes;
    if (outcome->error != ERROR_SUCCESS) {
        SetLastError(outcome->error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    auto object = resolveAs<FileObject>(hFile, ObjectType::File);
    if (!object) return FALSE;
    const ThreadState& self = currentThread();
    object->channel(false).cancelIssuedBy(self);
    object->channel(true).cancelIssuedBy(self);
    return TRUE;
}
