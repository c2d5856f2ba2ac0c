// Stand-in facilities for tests only: failure injection and resource counters.
// Nothing of the system calls these; failure injection is off unless a test arms
// it, and costs one relaxed atomic load per creation call while it is off.
#pragma once

#include <cstddef>
#include <string>

namespace standin::testing {

enum class Failure {
    EventCreation,
    MutexCreation,
    ThreadCreation,
    HeapCreation,
    HeapAllocation,
    ModuleLoad,
    FunctionLookup,
};
inline constexpr std::size_t kFailureKinds = static_cast<std::size_t>(Failure::FunctionLookup) + 1;

// The next `count` calls of that kind fail.
void failNext(Failure kind, unsigned count);
// Only the n-th call of that kind from now on fails (n = 1 is the next one).
void failNth(Failure kind, unsigned n);
// Disarms every kind.
void resetFailures();

// Resource counters of this process.
std::size_t liveHandleCount();        // open kernel-object handles
std::size_t liveThreadCount();        // threads made by CreateThread that have not ended
std::size_t liveHeapCount();          // heaps not destroyed
std::size_t liveHeapBlockCount();     // blocks of those heaps not freed
std::size_t loadedModuleReferences();  // LoadLibraryA references not yet freed

// Threads of this process asleep in a wait that includes the object behind the
// handle (0 for a handle that is not open). Lets a test act only once a thread is
// really waiting, instead of sleeping and hoping it got there.
std::size_t threadsWaitingOn(void* handle);

// The directory that holds this user's named objects.
std::string namedObjectDirectory();

}  // namespace standin::testing
