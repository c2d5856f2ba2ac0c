// Unnamed mutexes: ownership, re-entry, abandonment.
#include <thread>

#include "conformance_support.h"

namespace {

using conformance::newEvent;
using conformance::OwnedHandle;

HANDLE newMutex(bool initialOwner) {
    HANDLE mutex = CreateMutexA(nullptr, initialOwner ? TRUE : FALSE, nullptr);
    EXPECT_NE(mutex, nullptr);
    return mutex;
}

// Whether another thread could take the mutex at once.
DWORD waitFromOtherThread(HANDLE mutex) {
    DWORD result = WAIT_FAILED;
    std::thread other([&] {
        result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) ReleaseMutex(mutex);
    });
    other.join();
    return result;
}

TEST(Mutexes, OwnerMayTakeItAgainAndMustReleaseAsOftenAsTaken) {
    OwnedHandle mutex(newMutex(false));
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(waitFromOtherThread(mutex.get()), WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(waitFromOtherThread(mutex.get()), WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(waitFromOtherThread(mutex.get()), WAIT_OBJECT_0);
}

TEST(Mutexes, InitialOwnerIsTheCreatingThread) {
    OwnedHandle owned(newMutex(true));
    EXPECT_EQ(waitFromOtherThread(owned.get()), WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(owned.get()));
    EXPECT_EQ(waitFromOtherThread(owned.get()), WAIT_OBJECT_0);
}

TEST(Mutexes, ReleaseByANonOwnerFails) {
    OwnedHandle mutex(newMutex(false));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    BOOL releasedByOther = TRUE;
    DWORD errorOfOther = 0;
    std::thread other([&] {
        releasedByOther = ReleaseMutex(mutex.get());
        errorOfOther = GetLastError();
    });
    other.join();
    EXPECT_FALSE(releasedByOther);
    EXPECT_EQ(errorOfOther, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(Mutexes, MutexOfAnEndedOwnerIsAbandonedOnce) {
    OwnedHandle idle(newEvent(true, false));
    OwnedHandle mutex(newMutex(false));
    std::thread owner([&] { ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0); });
    owner.join();

    const HANDLE handles[] = {idle.get(), mutex.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 1000), WAIT_ABANDONED_0 + 1);
    // The abandoning wait took ownership; the next owner finds it in order.
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(Mutexes, WaiterGetsTheMutexWhenTheOwnerReleasesIt) {
    OwnedHandle mutex(newMutex(true));
    DWORD waited = WAIT_FAILED;
    std::thread waiter([&] {
        waited = WaitForSingleObject(mutex.get(), 5000);
        if (waited == WAIT_OBJECT_0) ReleaseMutex(mutex.get());
    });
    Sleep(30);
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    waiter.join();
    EXPECT_EQ(waited, WAIT_OBJECT_0);
}

TEST(Mutexes, ClosingTheLastHandleOfAnOwnedMutexIsAllowed) {
    HANDLE mutex = newMutex(true);
    EXPECT_TRUE(CloseHandle(mutex));
}

}  // namespace
