// Critical sections: a re-entrant lock kept inside the caller's CRITICAL_SECTION.
#include <new>

#include "kernel.h"

namespace {

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque),
              "CRITICAL_SECTION holds the lock in place");
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION is aligned for the lock");

std::recursive_mutex& lockOf(LPCRITICAL_SECTION section) {
    return *std::launder(reinterpret_cast<std::recursive_mutex*>(section->opaque));
}

}  // namespace

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    new (lpCriticalSection->opaque) std::recursive_mutex();
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lockOf(lpCriticalSection).lock();
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lockOf(lpCriticalSection).unlock();
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lockOf(lpCriticalSection).~recursive_mutex();
}
