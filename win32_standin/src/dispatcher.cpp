// Thread states, waits, completion routines, events and mutexes.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

#include "kernel.h"

namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

// Nothing wakes a thread of this process when another process lets go of a named
// mutex: Linux has no call that sleeps until a lock held elsewhere is free without
// taking it. A waiter that found such a mutex held by another process therefore
// tests it again after this interval; every other wait sleeps until it is woken.
constexpr std::chrono::milliseconds kCrossProcessRecheck{10};

std::atomic<DWORD> nextThreadId{1};

// Ends the state of a thread that CreateThread did not make (the main thread, or
// a std::thread of a test) when that thread exits, so that its mutexes are
// abandoned as Windows abandons them.
struct ThreadStateHolder {
    ThreadRef state;
    ~ThreadStateHolder() {
        if (state) endThread(*state);
    }
};

thread_local ThreadStateHolder currentState;

void unregisterWaiter(const std::vector<ObjectRef>& objects, ThreadState* self) {
    for (const ObjectRef& object : objects) {
        auto& waiters = object->waiters;
        waiters.erase(std::remove(waiters.begin(), waiters.end(), self), waiters.end());
    }
}

// Tests the objects and satisfies the wait if it can; the dispatcher lock is held.
std::optional<DWORD> trySatisfy(const std::vector<ObjectRef>& objects, bool waitAll,
                                ThreadState& self) {
    if (!waitAll) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->isSignalledFor(self)) {
                const bool abandoned = objects[i]->satisfyWaitOf(self);
                return static_cast<DWORD>((abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i);
            }
        }
        return std::nullopt;
    }
    for (const ObjectRef& object : objects) {
        if (!object->isSignalledFor(self)) return std::nullopt;
    }
    std::optional<std::size_t> firstAbandoned;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->satisfyWaitOf(self) && !firstAbandoned) firstAbandoned = i;
    }
    return firstAbandoned ? static_cast<DWORD>(WAIT_ABANDONED_0 + *firstAbandoned) : WAIT_OBJECT_0;
}

// Milliseconds for poll() until `wakeAt`, rounded up; -1 without a limit.
int pollTimeout(const std::optional<Clock::time_point>& wakeAt) {
    if (!wakeAt) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
}

// One sleep of an alertable wait of a thread with reads it performs itself: until
// it is woken, one of the devices can be read, or `wakeAt`. The reads that can be
// done are done, so that their completion routines are queued when the wait looks
// again. Entered and left with the dispatcher lock held.
void waitPerformingReads(std::unique_lock<std::mutex>& lock, ThreadState& self,
                         const std::optional<Clock::time_point>& wakeAt) {
    if (self.wakeDescriptor < 0) self.wakeDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::vector<std::shared_ptr<ReadinessWatch>> watches = self.readinessWatches;
    std::vector<pollfd> descriptors{{self.wakeDescriptor, POLLIN, 0}};
    for (const auto& watch : watches) descriptors.push_back({watch->descriptor(), POLLIN, 0});
    self.polling = true;
    lock.unlock();
    if (poll(descriptors.data(), descriptors.size(), pollTimeout(wakeAt)) > 0) {
        std::uint64_t wakeUps = 0;
        if (descriptors[0].revents != 0) (void)!read(self.wakeDescriptor, &wakeUps, sizeof wakeUps);
        for (std::size_t i = 0; i < watches.size(); ++i) {
            if (descriptors[i + 1].revents != 0) watches[i]->attempt();
        }
    }
    // The watches may hold the last references to their files: they go without the lock.
    watches.clear();
    lock.lock();
    self.polling = false;
}

DWORD waitForObjects(std::vector<ObjectRef> objects, bool waitAll, DWORD milliseconds,
                     bool alertable) {
    ThreadRef selfRef = currentThreadRef();
    ThreadState& self = *selfRef;
    std::optional<Clock::time_point> deadline;
    if (milliseconds != INFINITE) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);

    std::unique_lock<std::mutex> lock(dispatcherLock());
    for (;;) {
        bool recheck = false;
        if (!objects.empty()) {
            if (std::optional<DWORD> result = trySatisfy(objects, waitAll, self)) return *result;
            for (const ObjectRef& object : objects) {
                if (object->unsatisfiedWait()) recheck = true;
            }
        }
        if (alertable && !self.completionRoutines.empty()) {
            lock.unlock();
            runQueuedRoutines(self);
            return WAIT_IO_COMPLETION;
        }
        if (deadline && Clock::now() >= *deadline) return WAIT_TIMEOUT;

        std::optional<Clock::time_point> wakeAt = deadline;
        if (recheck) {
            const Clock::time_point next = Clock::now() + kCrossProcessRecheck;
            if (!wakeAt || next < *wakeAt) wakeAt = next;
        }
        for (const ObjectRef& object : objects) object->waiters.push_back(&self);
        if (alertable && !self.readinessWatches.empty()) {
            waitPerformingReads(lock, self, wakeAt);
        } else if (wakeAt) {
            self.wake.wait_until(lock, *wakeAt);
        } else {
            self.wake.wait(lock);
        }
        unregisterWaiter(objects, &self);
    }
}

std::optional<std::vector<ObjectRef>> resolveWaitables(DWORD count, const HANDLE* handles) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    std::vector<ObjectRef> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        ObjectRef object = resolveHandle(handles[i]);
        if (!object) return std::nullopt;
        if (!object->isWaitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return std::nullopt;
        }
        objects.push_back(std::move(object));
    }
    return objects;
}

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState)
        : KernelObject(ObjectType::Event), manualReset_(manualReset), signalled_(initialState) {}

    bool isWaitable() const override { return true; }
    bool isSignalledFor(const ThreadState&) const override { return signalled_; }
    bool satisfyWaitOf(ThreadState&) override {
        if (!manualReset_) signalled_ = false;
        return false;
    }

    void set(bool signalled) {
        signalled_ = signalled;
        if (signalled) wakeWaiters();
    }

private:
    bool manualReset_;
    bool signalled_;
};

BOOL setEventState(HANDLE handle, bool signalled) {
    auto event = resolveAs<EventObject>(handle, ObjectType::Event);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> guard(dispatcherLock());
    event->set(signalled);
    return TRUE;
}

}  // namespace

std::mutex& dispatcherLock() {
    static std::mutex lock;
    return lock;
}

void KernelObject::wakeWaiters() {
    for (ThreadState* waiter : waiters) waiter->wakeUp();
}

ThreadState::~ThreadState() {
    if (wakeDescriptor >= 0) close(wakeDescriptor);
}

void ThreadState::wakeUp() {
    if (polling) {
        const std::uint64_t one = 1;
        (void)!write(wakeDescriptor, &one, sizeof one);
    } else {
        wake.notify_one();
    }
}

ThreadRef makeThreadState() {
    auto state = std::make_shared<ThreadState>();
    state->id = nextThreadId.fetch_add(1);
    return state;
}

void adoptThreadState(ThreadRef state) { currentState.state = std::move(state); }

ThreadRef currentThreadRef() {
    if (!currentState.state) currentState.state = makeThreadState();
    return currentState.state;
}

ThreadState& currentThread() { return *currentThreadRef(); }

void endThread(ThreadState& state) {
    std::deque<std::function<void()>> dropped;
    std::vector<std::shared_ptr<ReadinessWatch>> watches;
    {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        if (state.ended) return;
        state.ended = true;
        std::vector<MutexObject*> owned;
        owned.swap(state.ownedMutexes);
        for (MutexObject* mutex : owned) mutex->abandon();
        dropped.swap(state.completionRoutines);
        watches.swap(state.readinessWatches);
    }
    // Nobody would ever perform the reads the thread left: they end, as Windows
    // ends a thread's pending I/O with the thread.
    for (const auto& watch : watches) watch->cancelIssuedBy(state);
}

bool queueCompletionRoutine(const ThreadRef& thread, std::function<void()> routine) {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    if (thread->ended) return false;
    thread->completionRoutines.push_back(std::move(routine));
    thread->wakeUp();
    return true;
}

void runQueuedRoutines(ThreadState& self) {
    for (;;) {
        std::function<void()> routine;
        {
            std::lock_guard<std::mutex> guard(dispatcherLock());
            if (self.completionRoutines.empty()) return;
            routine = std::move(self.completionRoutines.front());
            self.completionRoutines.pop_front();
        }
        routine();
    }
}

MutexObject::~MutexObject() {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    if (owner_) {
        auto& owned = owner_->ownedMutexes;
        owned.erase(std::remove(owned.begin(), owned.end(), this), owned.end());
        // Its owner can no longer release it: other processes find it abandoned.
        if (crossProcess_) crossProcess_->handBack(CrossProcessClaim::Handback::Abandoned);
    }
}

bool MutexObject::isSignalledFor(const ThreadState& thread) const {
    if (owner_ == &thread) return true;
    return owner_ == nullptr && (!crossProcess_ || crossProcess_->claim());
}

bool MutexObject::satisfyWaitOf(ThreadState& thread) {
    if (owner_ == &thread) {
        ++recursion_;
        return false;
    }
    bool wasAbandoned = abandoned_;
    abandoned_ = false;
    if (crossProcess_) wasAbandoned = crossProcess_->takeOwnership();
    owner_ = &thread;
    recursion_ = 1;
    thread.ownedMutexes.push_back(this);
    return wasAbandoned;
}

bool MutexObject::unsatisfiedWait() {
    if (!crossProcess_ || owner_ != nullptr) return false;
    crossProcess_->handBack(CrossProcessClaim::Handback::Unused);
    return crossProcess_->claimedElsewhere();
}

bool MutexObject::takeInitialOwnership(ThreadState& thread) {
    if (!isSignalledFor(thread)) return false;
    satisfyWaitOf(thread);
    return true;
}

bool MutexObject::release(ThreadState& thread) {
    if (owner_ != &thread) return false;
    if (--recursion_ == 0) {
        auto& owned = thread.ownedMutexes;
        owned.erase(std::remove(owned.begin(), owned.end(), this), owned.end());
        owner_ = nullptr;
        if (crossProcess_) crossProcess_->handBack(CrossProcessClaim::Handback::Released);
        wakeWaiters();
    }
    return true;
}

void MutexObject::abandon() {
    owner_ = nullptr;
    recursion_ = 0;
    if (crossProcess_) {
        crossProcess_->handBack(CrossProcessClaim::Handback::Abandoned);
    } else {
        abandoned_ = true;
    }
    wakeWaiters();
}

ObjectRef makeUnnamedMutex(bool initialOwner) {
    auto mutex = std::make_shared<MutexObject>();
    if (initialOwner) {
        ThreadState& self = currentThread();
        std::lock_guard<std::mutex> guard(dispatcherLock());
        mutex->takeInitialOwnership(self);
    }
    return mutex;
}

}  // namespace standin

using namespace standin;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    if (injectedFailure(InjectedFailure::EventCreation)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpName != nullptr) {
        // The system names no event; named events are not part of the stand-in.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return insertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return setEventState(hEvent, true); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return setEventState(hEvent, false); }

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = resolveAs<MutexObject>(hMutex, ObjectType::Mutex);
    if (!mutex) return FALSE;
    ThreadState& self = currentThread();
    std::lock_guard<std::mutex> guard(dispatcherLock());
    if (!mutex->release(self)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                      DWORD dwMilliseconds, BOOL bAlertable) {
    std::optional<std::vector<ObjectRef>> objects = resolveWaitables(nCount, lpHandles);
    if (!objects) return WAIT_FAILED;
    return waitForObjects(std::move(*objects), bWaitAll != FALSE, dwMilliseconds,
                          bAlertable != FALSE);
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    const DWORD result = waitForObjects({}, false, dwMilliseconds, bAlertable != FALSE);
    return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

VOID WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    if (injectedFailure(InjectedFailure::MutexCreation)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpName != nullptr) return createNamedMutex(lpName, bInitialOwner != FALSE);
    SetLastError(ERROR_SUCCESS);
    return insertHandle(makeUnnamedMutex(bInitialOwner != FALSE));
}

DWORD WINAPI GetTickCount() {
    const auto elapsed = Clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}
