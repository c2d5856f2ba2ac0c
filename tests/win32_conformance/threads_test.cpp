// Threads: start, suspension, exit codes and the thread handle as a waitable object.
#include <atomic>
#include <vector>

#include "conformance_support.h"

namespace {

using conformance::newEvent;
using conformance::OwnedHandle;

struct Work {
    std::atomic<int> runs{0};
    HANDLE release = nullptr;  // when set, the thread waits for it before it ends
};

DWORD WINAPI countAndExit(LPVOID parameter) {
    auto* work = static_cast<Work*>(parameter);
    ++work->runs;
    if (work->release != nullptr) WaitForSingleObject(work->release, 10000);
    return 7;
}

TEST(Threads, HandleIsSignalledWhenTheThreadEndsAndKeepsItsExitCode) {
    OwnedHandle release(newEvent(true, false));
    Work work;
    work.release = release.get();
    DWORD id = 0;
    OwnedHandle thread(CreateThread(nullptr, 0, countAndExit, &work, 0, &id));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_NE(id, 0u);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(release.get()));
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(work.runs.load(), 1);
    // A thread handle stays signalled.
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    Work work;
    OwnedHandle thread(CreateThread(nullptr, 0, countAndExit, &work, CREATE_SUSPENDED, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 50), WAIT_TIMEOUT);
    EXPECT_EQ(work.runs.load(), 0);

    EXPECT_EQ(ResumeThread(thread.get()), 1u);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(work.runs.load(), 1);
    EXPECT_EQ(ResumeThread(thread.get()), 0u);
}

DWORD WINAPI storeOwnThreadId(LPVOID parameter) {
    *static_cast<DWORD*>(parameter) = GetCurrentThreadId();
    return 0;
}

TEST(Threads, CurrentThreadIdsDiffer) {
    DWORD otherId = 0;
    OwnedHandle thread(CreateThread(nullptr, 0, storeOwnThreadId, &otherId, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_NE(otherId, 0u);
    EXPECT_NE(otherId, GetCurrentThreadId());
}

DWORD WINAPI countUpAndDown(LPVOID parameter) {
    auto* counter = static_cast<LONG volatile*>(parameter);
    for (int i = 0; i < 10000; ++i) {
        InterlockedIncrement(counter);
        InterlockedIncrement(counter);
        InterlockedDecrement(counter);
    }
    return 0;
}

TEST(Threads, InterlockedOperationsLoseNoUpdate) {
    LONG volatile counter = 0;
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, countUpAndDown, const_cast<LONG*>(&counter), 0, nullptr);
        ASSERT_NE(thread, nullptr);
        threads.push_back(thread);
    }
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 30000), WAIT_OBJECT_0);
    for (HANDLE thread : threads) CloseHandle(thread);
    EXPECT_EQ(counter, 40000);

    EXPECT_EQ(InterlockedIncrement(&counter), 40001);
    EXPECT_EQ(InterlockedDecrement(&counter), 40000);
    EXPECT_EQ(InterlockedCompareExchange(&counter, 5, 7), 40000) << "no exchange when the comparand differs";
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(InterlockedCompareExchange(&counter, 5, 40000), 40000);
    EXPECT_EQ(counter, 5);
}

TEST(Threads, RefusedHandles) {
    OwnedHandle event(newEvent(true, false));
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(event.get(), &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(ResumeThread(event.get()), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
