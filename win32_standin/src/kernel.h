// Internal core of the stand-in: per-thread state, the dispatcher that every
// wait goes through, kernel objects and the handle table.
//
// One process-wide dispatcher lock guards the state of every waitable object,
// every thread's queue of completion routines and every wait registration, so
// that a wait can test and take several objects atomically, as Windows does.
// A waiting thread sleeps on its own condition variable; whatever changes an
// object or queues a routine wakes the threads registered on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "standin/testing.h"
#include "standin/win32_kernel.h"

namespace standin {

class MutexObject;

struct ThreadState;

std::mutex& dispatcherLock();

// Reads of a device that tells when it can be read (its descriptor turns readable)
// are performed by the threads that wait for them, not by a worker thread, so that
// a report reaches its reader without a hand-off. The thread that issued such a
// read watches the device's descriptor in its alertable waits and performs the read
// there. Implemented by the read channel of a file (file_io.cpp).
class ReadinessWatch {
public:
    virtual ~ReadinessWatch() = default;
    virtual int descriptor() const = 0;
    // Performs the queued reads the device can serve now.
    virtual void attempt() = 0;
    // Ends, aborted, the queued reads `thread` issued.
    virtual void cancelIssuedBy(const ThreadState& thread) = 0;
};

// What the stand-in knows of one thread of this process, whether CreateThread
// made it or not. Fields marked "dispatcher" are guarded by dispatcherLock().
struct ThreadState {
    DWORD id = 0;
    std::condition_variable wake;
    std::deque<std::function<void()>> completionRoutines;  // dispatcher
    std::vector<MutexObject*> ownedMutexes;               // dispatcher
    bool ended = false;                                    // dispatcher
    // One entry per pending read of this thread that it performs itself.
    std::vector<std::shared_ptr<ReadinessWatch>> readinessWatches;  // dispatcher
    // While the thread waits in poll() rather than on `wake`, wake-ups go to this
    // eventfd, which the thread makes the first time it needs it.
    bool polling = false;     // dispatcher
    int wakeDescriptor = -1;  // dispatcher

    ThreadState() = default;
    ~ThreadState();
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    // Wakes the thread from its wait; the dispatcher lock is held.
    void wakeUp();
};
using ThreadRef = std::shared_ptr<ThreadState>;

ThreadState& currentThread();
ThreadRef currentThreadRef();

// A new thread state, for a thread that CreateThread is about to start.
ThreadRef makeThreadState();
// Makes `state` the calling thread's own; called first by a thread CreateThread started.
void adoptThreadState(ThreadRef state);
// The thread ends: its owned mutexes are abandoned and its queued routines dropped.
void endThread(ThreadState& state);

// Queues a routine to run on `thread` during one of its alertable waits. A routine
// for a thread that has ended is dropped, and the result is then false.
bool queueCompletionRoutine(const ThreadRef& thread, std::function<void()> routine);
// Runs the calling thread's queued routines, oldest first, until none is left.
void runQueuedRoutines(ThreadState& self);

enum class ObjectType { Event, Mutex, Thread, File, FileMapping };

class KernelObject {
public:
    explicit KernelObject(ObjectType type) : type_(type) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectType type() const { return type_; }

    // Waitable objects override the next three; the dispatcher lock is held.
    virtual bool isWaitable() const { return false; }
    virtual bool isSignalledFor(const ThreadState&) const { return false; }
    // Satisfies a wait of `thread`; true when the wait takes an abandoned mutex.
    virtual bool satisfyWaitOf(ThreadState&) { return false; }
    // A wait that tested the object is not satisfied (yet): the object gives back
    // what its test took from other processes, and answers true when it can become
    // signalled without anything in this process waking the waiter, which must
    // then test it again after a while.
    virtual bool unsatisfiedWait() { return false; }

    // Runs, without any lock held, when the last handle to the object is closed.
    virtual void lastHandleClosed() {}

    // Threads waiting on this object (dispatcher).
    std::vector<ThreadState*> waiters;
    // Wakes every registered waiter; the dispatcher lock is held.
    void wakeWaiters();

    std::size_t handleCount = 0;  // guarded by the handle table's lock

private:
    ObjectType type_;
};
using ObjectRef = std::shared_ptr<KernelObject>;

// The number of open handles to the object, read under the handle table's lock.
std::size_t openHandleCount(const KernelObject& object);

// Enters an object into the handle table; the new handle is never one that was
// issued before in this process.
HANDLE insertHandle(ObjectRef object);
// The object behind a handle; null with ERROR_INVALID_HANDLE for a closed, never
// issued or pseudo handle, or one of another type.
ObjectRef resolveHandle(HANDLE handle);
ObjectRef resolveHandle(HANDLE handle, ObjectType expected);

template <typename T>
std::shared_ptr<T> resolveAs(HANDLE handle, ObjectType expected) {
    return std::static_pointer_cast<T>(resolveHandle(handle, expected));
}

std::size_t liveHandles();
std::size_t liveThreads();
std::size_t liveHeaps();
std::size_t liveHeapBlocks();
std::size_t loadedModuleReferences();

// How a named mutex shares its ownership with the other processes that hold its
// name: at most one process holds the claim at a time, and the claim carries
// whether the last owner ended without releasing the mutex. The dispatcher lock
// is held for every call.
class CrossProcessClaim {
public:
    virtual ~CrossProcessClaim() = default;

    // Takes the claim for this process unless another process holds it; true
    // when this process holds it (also when it already did).
    virtual bool claim() = 0;
    // A thread of this process becomes the owner under the claim; true when the
    // previous owner abandoned the mutex.
    virtual bool takeOwnership() = 0;
    enum class Handback { Unused, Released, Abandoned };
    // Gives the claim back to the other processes: unused (no thread took it),
    // after a release, or abandoned by its owner. Nothing happens without a claim.
    virtual void handBack(Handback how) = 0;
    // True while another process holds the claim.
    virtual bool claimedElsewhere() = 0;
};

class MutexObject : public KernelObject {
public:
    // A named mutex brings the claim through which it is shared between processes.
    explicit MutexObject(std::unique_ptr<CrossProcessClaim> crossProcess = nullptr)
        : KernelObject(ObjectType::Mutex), crossProcess_(std::move(crossProcess)) {}
    ~MutexObject() override;

    bool isWaitable() const override { return true; }
    bool isSignalledFor(const ThreadState& thread) const override;
    bool satisfyWaitOf(ThreadState& thread) override;
    bool unsatisfiedWait() override;

    // The dispatcher lock is held for these.
    // False when another process holds the mutex.
    bool takeInitialOwnership(ThreadState& thread);
    bool release(ThreadState& thread);  // false when `thread` is not the owner
    void abandon();

private:
    ThreadState* owner_ = nullptr;
    unsigned recursion_ = 0;
    bool abandoned_ = false;  // of an unnamed mutex; a named one keeps it with its claim
    // The test in isSignalledFor may take the claim, so the pointer is const there
    // but the claim is not.
    const std::unique_ptr<CrossProcessClaim> crossProcess_;
};

// A new unnamed mutex, owned by the calling thread when `initialOwner` is set.
ObjectRef makeUnnamedMutex(bool initialOwner);

// A handle to the named mutex of that name, created when the name is free (last
// error ERROR_SUCCESS) or opened when it exists (ERROR_ALREADY_EXISTS); null with
// the reason as last error otherwise. Named objects live in named_objects.cpp.
HANDLE createNamedMutex(const char* name, bool initialOwner);

// Failure injection: true when the call of that kind is to fail.
using InjectedFailure = testing::Failure;
bool injectedFailure(InjectedFailure kind);

// Built-in modules: an export table per module name (names compare without case).
struct ModuleExport {
    const char* name;
    FARPROC address;
};
struct BuiltinModuleDefinition {
    const char* name;
    std::vector<ModuleExport> exports;
};
void registerBuiltinModule(const char* name, std::vector<ModuleExport> exports);

template <typename Function>
FARPROC exportAddress(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace standin
