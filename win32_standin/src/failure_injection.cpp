// Failure injection and resource counters for tests.
#include <array>

#include "kernel.h"
#include "standin/testing.h"

namespace standin {
namespace {

struct Arming {
    unsigned failNext = 0;   // the next this many calls fail
    unsigned failAfter = 0;  // the call after this many passes fails (0: none)
};

struct Injection {
    std::mutex lock;
    std::array<Arming, testing::kFailureKinds> kinds{};
};

// Read on every creation call; set only while a test has armed something.
std::atomic<bool> anyArmed{false};

Injection& injection() {
    static Injection instance;
    return instance;
}

void updateArmed(Injection& state) {
    bool armed = false;
    for (const Arming& kind : state.kinds) armed = armed || kind.failNext > 0 || kind.failAfter > 0;
    anyArmed.store(armed, std::memory_order_relaxed);
}

Arming& armingOf(Injection& state, testing::Failure kind) {
    return state.kinds[static_cast<std::size_t>(kind)];
}

}  // namespace

bool injectedFailure(InjectedFailure kind) {
    if (!anyArmed.load(std::memory_order_relaxed)) return false;
    Injection& state = injection();
    std::lock_guard<std::mutex> guard(state.lock);
    Arming& arming = armingOf(state, kind);
    bool fail = false;
    if (arming.failNext > 0) {
        --arming.failNext;
        fail = true;
    } else if (arming.failAfter > 0) {
        fail = --arming.failAfter == 0;
    }
    updateArmed(state);
    return fail;
}

namespace testing {

void failNext(Failure kind, unsigned count) {
    Injection& state = injection();
    std::lock_guard<std::mutex> guard(state.lock);
    armingOf(state, kind).failNext = count;
    updateArmed(state);
}

void failNth(Failure kind, unsigned n) {
    Injection& state = injection();
    std::lock_guard<std::mutex> guard(state.lock);
    armingOf(state, kind).failAfter = n;
    updateArmed(state);
}

void resetFailures() {
    Injection& state = injection();
    std::lock_guard<std::mutex> guard(state.lock);
    for (Arming& kind : state.kinds) kind = Arming{};
    updateArmed(state);
}

std::size_t liveHandleCount() { return liveHandles(); }
std::size_t liveThreadCount() { return liveThreads(); }
std::size_t liveHeapCount() { return liveHeaps(); }
std::size_t liveHeapBlockCount() { return liveHeapBlocks(); }
std::size_t loadedModuleReferences() { return standin::loadedModuleReferences(); }

std::size_t threadsWaitingOn(void* handle) {
    const DWORD callersError = GetLastError();
    const ObjectRef object = resolveHandle(static_cast<HANDLE>(handle));
    SetLastError(callersError);
    if (!object) return 0;
    std::lock_guard<std::mutex> guard(dispatcherLock());
    return object->waiters.size();
}

}  // namespace testing
}  // namespace standin
