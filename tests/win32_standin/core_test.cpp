#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "standin/testing.h"
#include "win32_services.h"

namespace {

using standin::testing::Failure;

class FailureInjection : public ::testing::Test {
protected:
    void TearDown() override { standin::testing::resetFailures(); }
};

DWORD WINAPI returnAtOnce(LPVOID) { return 0; }

// Polls until the condition holds or ten seconds passed; whether it held.
template <typename Condition>
bool holdsSoon(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(1);
    }
    return true;
}

// Attempts one creation of the kind; true when it succeeded. What it created is released.
bool createOne(Failure kind) {
    switch (kind) {
        case Failure::EventCreation: {
            HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            return event != nullptr && CloseHandle(event);
        }
        case Failure::MutexCreation: {
            HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
            return mutex != nullptr && CloseHandle(mutex);
        }
        case Failure::ThreadCreation: {
            HANDLE thread = CreateThread(nullptr, 0, returnAtOnce, nullptr, 0, nullptr);
            if (thread == nullptr) return false;
            WaitForSingleObject(thread, INFINITE);
            return CloseHandle(thread);
        }
        case Failure::HeapCreation: {
            HANDLE heap = HeapCreate(0, 4096, 0);
            return heap != nullptr && HeapDestroy(heap);
        }
        case Failure::HeapAllocation: {
            static HANDLE heap = HeapCreate(0, 4096, 0);
            void* block = HeapAlloc(heap, 0, 16);
            return block != nullptr && HeapFree(heap, 0, block);
        }
        case Failure::ModuleLoad: {
            HMODULE module = LoadLibraryA("kernel32.dll");
            return module != nullptr && FreeLibrary(module);
        }
        case Failure::FunctionLookup:
            return GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIo") != nullptr;
    }
    return false;
}

const Failure kAllKinds[] = {Failure::EventCreation,  Failure::MutexCreation, Failure::ThreadCreation,
                             Failure::HeapCreation,   Failure::HeapAllocation, Failure::ModuleLoad,
                             Failure::FunctionLookup};

TEST_F(FailureInjection, FailNextFailsThatManyCallsOfThatKindOnly) {
    for (Failure kind : kAllKinds) {
        standin::testing::failNext(kind, 2);
        for (Failure other : kAllKinds) {
            if (other != kind) {
                EXPECT_TRUE(createOne(other)) << static_cast<int>(other);
            }
        }
        EXPECT_FALSE(createOne(kind)) << static_cast<int>(kind);
        EXPECT_FALSE(createOne(kind)) << static_cast<int>(kind);
        EXPECT_TRUE(createOne(kind)) << static_cast<int>(kind);
    }
}

TEST_F(FailureInjection, FailNthFailsOnlyThatCall) {
    for (Failure kind : kAllKinds) {
        standin::testing::failNth(kind, 3);
        EXPECT_TRUE(createOne(kind));
        EXPECT_TRUE(createOne(kind));
        EXPECT_FALSE(createOne(kind)) << static_cast<int>(kind);
        EXPECT_TRUE(createOne(kind));
    }
}

TEST_F(FailureInjection, FailedCreationsReportAReason) {
    standin::testing::failNext(Failure::EventCreation, 1);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    standin::testing::failNext(Failure::ModuleLoad, 1);
    EXPECT_EQ(LoadLibraryA("kernel32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    standin::testing::failNext(Failure::FunctionLookup, 1);
    EXPECT_EQ(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIo"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

TEST(Handles, AStaleHandleNeverNamesANewerObject) {
    HANDLE stale = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(stale));
    std::vector<HANDLE> fresh;
    for (int i = 0; i < 10000; ++i) {
        fresh.push_back(CreateEventA(nullptr, TRUE, TRUE, nullptr));
        ASSERT_NE(fresh.back(), stale);
    }
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE event : fresh) CloseHandle(event);
}

TEST(Handles, NeverIssuedAndPseudoHandlesAreRefused) {
    for (HANDLE bogus : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                         reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7FFFFFF0))}) {
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bogus));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(CloseHandle(bogus));
    }
}

TEST(Counters, HandlesHeapsAndBlocksAreCounted) {
    const std::size_t handles = standin::testing::liveHandleCount();
    const std::size_t heaps = standin::testing::liveHeapCount();
    const std::size_t blocks = standin::testing::liveHeapBlockCount();

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE heap = HeapCreate(0, 4096, 0);
    for (int i = 0; i < 5; ++i) HeapAlloc(heap, 0, 64);
    EXPECT_EQ(standin::testing::liveHandleCount(), handles + 1);
    EXPECT_EQ(standin::testing::liveHeapCount(), heaps + 1);
    EXPECT_EQ(standin::testing::liveHeapBlockCount(), blocks + 5);

    // Destroying the heap frees every block at once.
    EXPECT_TRUE(HeapDestroy(heap));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(standin::testing::liveHandleCount(), handles);
    EXPECT_EQ(standin::testing::liveHeapCount(), heaps);
    EXPECT_EQ(standin::testing::liveHeapBlockCount(), blocks);
    EXPECT_FALSE(HeapAlloc(heap, 0, 8));
}

TEST(Counters, WaitingThreadsAreCountedOnlyWhileAsleepOnTheObject) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(standin::testing::threadsWaitingOn(event), 0u);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            const HANDLE both[] = {other, event};
            WaitForMultipleObjects(2, both, FALSE, INFINITE);
        });
    }
    EXPECT_TRUE(holdsSoon([&] { return standin::testing::threadsWaitingOn(event) == 2; }));
    EXPECT_EQ(standin::testing::threadsWaitingOn(other), 2u);
    SetEvent(event);
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(standin::testing::threadsWaitingOn(event), 0u);
    EXPECT_EQ(standin::testing::threadsWaitingOn(other), 0u);
    CloseHandle(other);
    CloseHandle(event);
    EXPECT_EQ(standin::testing::threadsWaitingOn(event), 0u) << "a closed handle names no object";
}

TEST(Counters, ModuleReferencesFollowLoadAndFree) {
    const std::size_t references = standin::testing::loadedModuleReferences();
    HMODULE module = LoadLibraryA("kernel32.dll");
    EXPECT_EQ(standin::testing::loadedModuleReferences(), references + 1);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(standin::testing::loadedModuleReferences(), references);
}

DWORD WINAPI mustNeverRun(LPVOID ran) {
    *static_cast<bool*>(ran) = true;
    return 0;
}

TEST(Threads, SuspendedThreadNeverResumedIsDisposedOfByClosingItsHandle) {
    const std::size_t before = standin::testing::liveThreadCount();
    bool ran = false;
    HANDLE thread = CreateThread(nullptr, 0, mustNeverRun, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(standin::testing::liveThreadCount(), before + 1);
    ASSERT_TRUE(CloseHandle(thread));

    EXPECT_TRUE(holdsSoon([&] { return standin::testing::liveThreadCount() == before; }));
    EXPECT_FALSE(ran);
}

TEST(Crt, OversizedCopiesAndFormatsLeaveAnEmptyText) {
    char small[4] = {'x', 'x', 'x', 0};
    EXPECT_NE(strcpy_s(small, sizeof small, "toolong"), 0);
    EXPECT_STREQ(small, "");
    std::strcpy(small, "xxx");
    EXPECT_EQ(sprintf_s(small, sizeof small, "%d", 12345), -1);
    EXPECT_STREQ(small, "");
    const WCHAR wide[] = {'a', 0x263A, 0};
    std::size_t converted = 99;
    EXPECT_NE(wcstombs_s(&converted, small, sizeof small, wide, _TRUNCATE), 0);
    EXPECT_STREQ(small, "");
}

}  // namespace
