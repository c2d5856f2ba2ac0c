// Events and the wait functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "conformance_support.h"

namespace {

using conformance::newEvent;
using conformance::OwnedHandle;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(Events, ManualResetEventStaysSignalledUntilReset) {
    OwnedHandle event(newEvent(true, false));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetEventIsConsumedByOneWait) {
    OwnedHandle event(newEvent(false, false));
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, InitialStateIsHonoured) {
    OwnedHandle manual(newEvent(true, true));
    OwnedHandle automatic(newEvent(false, true));
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetEventReleasesExactlyOneOfTwoWaiters) {
    OwnedHandle event(newEvent(false, false));
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event.get(), 2000) == WAIT_OBJECT_0) ++woken;
    };
    std::thread first(waiter);
    std::thread second(waiter);
    Sleep(50);
    ASSERT_TRUE(SetEvent(event.get()));
    first.join();
    second.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST(Waits, LowestSignalledIndexWins) {
    OwnedHandle first(newEvent(true, false));
    OwnedHandle second(newEvent(true, true));
    OwnedHandle third(newEvent(true, true));
    const HANDLE handles[] = {first.get(), second.get(), third.get()};
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(SetEvent(first.get()));
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(first.get()));
    ASSERT_TRUE(ResetEvent(second.get()));
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
}

TEST(Waits, WaitForAnyConsumesOnlyTheAutoResetEventItReturns) {
    OwnedHandle first(newEvent(false, true));
    OwnedHandle second(newEvent(false, true));
    const HANDLE handles[] = {first.get(), second.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitEndsWhenAnotherThreadSignals) {
    OwnedHandle idle(newEvent(true, false));
    OwnedHandle signalled(newEvent(true, false));
    std::thread signaller([&] {
        Sleep(30);
        SetEvent(signalled.get());
    });
    const HANDLE handles[] = {idle.get(), signalled.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    signaller.join();
}

TEST(Waits, TimeOutIsNotShortened) {
    OwnedHandle event(newEvent(true, false));
    const auto start = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 60), WAIT_TIMEOUT);
    // Windows may end a wait up to one clock tick early.
    EXPECT_GE(steady_clock::now() - start, milliseconds(40));
}

TEST(Waits, InvalidArgumentsFail) {
    OwnedHandle event(newEvent(true, false));
    HANDLE closed = newEvent(true, true);
    ASSERT_TRUE(CloseHandle(closed));

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    const HANDLE withClosed[] = {event.get(), closed};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, withClosed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, withClosed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Handles, CloseHandleClosesExactlyOnce) {
    HANDLE event = newEvent(true, false);
    EXPECT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Handles, EventFunctionsRefuseAHandleOfAnotherType) {
    OwnedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_NE(mutex.get(), nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(mutex.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Each thread sets its code while the other's is set, and reads it back before it
// calls anything else: the threads meet through atomics alone, since any Windows
// function, starting or joining a thread among them, may change the calling
// thread's code.
TEST(LastError, IsKeptPerThread) {
    std::atomic<int> step{0};
    DWORD seenOnOtherThread = 0;
    std::thread other([&] {
        while (step.load() != 1) {
        }
        SetLastError(42);
        step = 2;
        seenOnOtherThread = GetLastError();
    });
    SetLastError(1234);
    step = 1;
    while (step.load() != 2) {
    }
    const DWORD seenHere = GetLastError();
    other.join();
    EXPECT_EQ(seenOnOtherThread, 42u);
    EXPECT_EQ(seenHere, 1234u);
}

}  // namespace
