// Private heaps. One lock guards every heap, so blocks can be allocated and freed
// from several threads at once; HeapDestroy frees every block of its heap.
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "kernel.h"

namespace standin {
namespace {

struct Heap {
    std::unordered_set<void*> blocks;
};

struct HeapRegistry {
    std::mutex lock;
    std::unordered_map<HANDLE, std::unique_ptr<Heap>> heaps;
    std::size_t blockCount = 0;
};

HeapRegistry& registry() {
    static HeapRegistry instance;
    return instance;
}

// The heap behind a handle; the registry lock is held.
Heap* findHeap(HeapRegistry& heaps, HANDLE handle) {
    auto found = heaps.heaps.find(handle);
    return found == heaps.heaps.end() ? nullptr : found->second.get();
}

}  // namespace

std::size_t liveHeaps() {
    std::lock_guard<std::mutex> guard(registry().lock);
    return registry().heaps.size();
}

std::size_t liveHeapBlocks() {
    std::lock_guard<std::mutex> guard(registry().lock);
    return registry().blockCount;
}

}  // namespace standin

using namespace standin;

HANDLE WINAPI HeapCreate(DWORD, SIZE_T, SIZE_T) {
    if (injectedFailure(InjectedFailure::HeapCreation)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto heap = std::make_unique<Heap>();
    HANDLE handle = heap.get();
    HeapRegistry& heaps = registry();
    std::lock_guard<std::mutex> guard(heaps.lock);
    heaps.heaps.emplace(handle, std::move(heap));
    return handle;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (injectedFailure(InjectedFailure::HeapAllocation)) return nullptr;
    HeapRegistry& heaps = registry();
    std::lock_guard<std::mutex> guard(heaps.lock);
    Heap* heap = findHeap(heaps, hHeap);
    if (heap == nullptr) return nullptr;
    const SIZE_T size = dwBytes == 0 ? 1 : dwBytes;
    void* block = (dwFlags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (block == nullptr) return nullptr;
    heap->blocks.insert(block);
    ++heaps.blockCount;
    return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
    HeapRegistry& heaps = registry();
    std::lock_guard<std::mutex> guard(heaps.lock);
    Heap* heap = findHeap(heaps, hHeap);
    if (heap == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMem == nullptr) return TRUE;
    if (heap->blocks.erase(lpMem) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    --heaps.blockCount;
    std::free(lpMem);
    return TRUE;
}

BOOL WINAPI HeapDestroy(HANDLE hHeap) {
    std::unique_ptr<Heap> destroyed;
    {
        HeapRegistry& heaps = registry();
        std::lock_guard<std::mutex> guard(heaps.lock);
        auto found = heaps.heaps.find(hHeap);
        if (found == heaps.heaps.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        destroyed = std::move(found->second);
        heaps.heaps.erase(found);
        heaps.blockCount -= destroyed->blocks.size();
    }
    for (void* block : destroyed->blocks) std::free(block);
    return TRUE;
}
