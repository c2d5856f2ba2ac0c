// The handle table and last error.
#include <unordered_map>

#include "kernel.h"

namespace standin {
namespace {

// Handle values count up in steps of 4 (as Windows handles are multiples of 4) and
// are never issued twice, so a stale handle can never name a newer object.
constexpr std::uintptr_t kFirstHandleValue = 0x1000;
constexpr std::uintptr_t kHandleStep = 4;

struct HandleTable {
    std::mutex lock;
    std::uintptr_t nextValue = kFirstHandleValue;
    std::unordered_map<std::uintptr_t, ObjectRef> objects;
};

HandleTable& table() {
    static HandleTable instance;
    return instance;
}

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

HANDLE insertHandle(ObjectRef object) {
    HandleTable& handles = table();
    std::lock_guard<std::mutex> guard(handles.lock);
    const std::uintptr_t value = handles.nextValue;
    handles.nextValue += kHandleStep;
    ++object->handleCount;
    handles.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

ObjectRef resolveHandle(HANDLE handle) {
    HandleTable& handles = table();
    {
        std::lock_guard<std::mutex> guard(handles.lock);
        auto found = handles.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found != handles.objects.end()) return found->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

ObjectRef resolveHandle(HANDLE handle, ObjectType expected) {
    ObjectRef object = resolveHandle(handle);
    if (object && object->type() != expected) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

std::size_t openHandleCount(const KernelObject& object) {
    std::lock_guard<std::mutex> guard(table().lock);
    return object.handleCount;
}

std::size_t liveHandles() {
    HandleTable& handles = table();
    std::lock_guard<std::mutex> guard(handles.lock);
    return handles.objects.size();
}

}  // namespace standin

using namespace standin;

DWORD WINAPI GetLastError() { return lastError; }

VOID WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
    ObjectRef closed;
    bool wasLastHandle = false;
    {
        HandleTable& handles = table();
        std::lock_guard<std::mutex> guard(handles.lock);
        auto found = handles.objects.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (found != handles.objects.end()) {
            closed = std::move(found->second);
            handles.objects.erase(found);
            wasLastHandle = --closed->handleCount == 0;
        }
    }
    if (!closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (wasLastHandle) closed->lastHandleClosed();
    return TRUE;
}
