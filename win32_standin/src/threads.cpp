// Threads made by CreateThread.
//
// Each runs on a detached std::thread that holds a reference to its thread
// object, so the object outlives every handle as long as the thread runs. A
// thread created suspended waits for ResumeThread before it calls its start
// routine. If the last handle to a thread that never ran is closed, nobody can
// resume it any more: the stand-in then lets it end without calling its start
// routine, so that a failed start-up can dispose of such a thread by closing its
// handle, without a deadlock and without a thread left behind.
#include <thread>
#include <unistd.h>

#include "kernel.h"

namespace standin {
namespace {

std::atomic<std::size_t> runningThreads{0};

class ThreadObject : public KernelObject {
public:
    ThreadObject(ThreadRef state, bool suspended)
        : KernelObject(ObjectType::Thread), state_(std::move(state)), suspendCount_(suspended ? 1 : 0) {}

    bool isWaitable() const override { return true; }
    bool isSignalledFor(const ThreadState&) const override { return finished_; }

    void lastHandleClosed() override {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        if (!started_ && suspendCount_ > 0) {
            discarded_ = true;
            state_->wake.notify_one();
        }
    }

    // Returns the previous suspend count.
    DWORD resume() {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        const DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0) state_->wake.notify_one();
        return previous;
    }

    DWORD exitCode() const {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }

    const ThreadRef& state() const { return state_; }

    // Blocks until the thread is resumed; false when it was discarded instead.
    bool awaitStart() {
        std::unique_lock<std::mutex> lock(dispatcherLock());
        state_->wake.wait(lock, [this] { return suspendCount_ == 0 || discarded_; });
        if (discarded_) return false;
        started_ = true;
        return true;
    }

    void finish(DWORD exitCode) {
        endThread(*state_);
        std::lock_guard<std::mutex> guard(dispatcherLock());
        exitCode_ = exitCode;
        finished_ = true;
        wakeWaiters();
    }

private:
    ThreadRef state_;
    // Guarded by the dispatcher lock.
    DWORD suspendCount_;
    bool started_ = false;
    bool discarded_ = false;
    bool finished_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
};

}  // namespace
}  // namespace standin

using namespace standin;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (injectedFailure(InjectedFailure::ThreadCreation)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>(makeThreadState(),
                                                 (dwCreationFlags & CREATE_SUSPENDED) != 0);
    ++runningThreads;
    try {
        std::thread([thread, lpStartAddress, lpParameter] {
            adoptThreadState(thread->state());
            DWORD exitCode = 0;
            if (thread->awaitStart()) {
                // Routines queued before the thread began run first, as on Windows.
                runQueuedRoutines(*thread->state());
                exitCode = lpStartAddress(lpParameter);
            }
            thread->finish(exitCode);
            --runningThreads;
        }).detach();
    } catch (const std::system_error&) {
        --runningThreads;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = thread->state()->id;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(thread);
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto thread = resolveAs<ThreadObject>(hThread, ObjectType::Thread);
    if (!thread) return static_cast<DWORD>(-1);
    return thread->resume();
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = resolveAs<ThreadObject>(hThread, ObjectType::Thread);
    if (!thread) return FALSE;
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = thread->exitCode();
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId() { return currentThread().id; }

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData) {
    auto thread = resolveAs<ThreadObject>(hThread, ObjectType::Thread);
    if (!thread) return 0;
    if (pfnAPC == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!queueCompletionRoutine(thread->state(), [pfnAPC, dwData] { pfnAPC(dwData); })) {
        SetLastError(ERROR_GEN_FAILURE);  // the thread has ended
        return 0;
    }
    return 1;
}

namespace standin {
std::size_t liveThreads() { return runningThreads.load(); }
}  // namespace standin
