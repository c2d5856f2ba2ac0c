// Asynchronous procedure calls: queued to one thread, run only in its alertable waits.
#include <atomic>
#include <vector>

#include "conformance_support.h"

namespace {

using conformance::newEvent;
using conformance::OwnedHandle;

// A thread that waits for commands, so that a test can queue routines to it and
// then make it wait alertably or not.
struct Worker {
    HANDLE go = nullptr;        // auto-reset: start the next wait
    HANDLE done = nullptr;      // auto-reset: the wait returned
    HANDLE idle = nullptr;      // never signalled: what the alertable waits wait on
    std::atomic<bool> alertable{true};
    std::atomic<bool> quit{false};
    std::atomic<DWORD> lastResult{0};
    std::atomic<DWORD> threadId{0};
};

DWORD WINAPI workerMain(LPVOID parameter) {
    auto* worker = static_cast<Worker*>(parameter);
    worker->threadId = GetCurrentThreadId();
    // Routines queued before a thread runs its start routine run first, so the
    // tests queue theirs only once the worker is running.
    SetEvent(worker->done);
    for (;;) {
        WaitForSingleObject(worker->go, INFINITE);
        if (worker->quit) return 0;
        worker->lastResult = WaitForSingleObjectEx(worker->idle, 100, worker->alertable ? TRUE : FALSE);
        SetEvent(worker->done);
    }
}

struct Record {
    std::vector<ULONG_PTR> order;
    std::vector<DWORD> threads;
};
Record* record = nullptr;

VOID WINAPI recordCall(ULONG_PTR value) {
    record->order.push_back(value);
    record->threads.push_back(GetCurrentThreadId());
}

class CompletionRoutines : public ::testing::Test {
protected:
    void SetUp() override {
        record = &calls;
        worker.go = newEvent(false, false);
        worker.done = newEvent(false, false);
        worker.idle = newEvent(true, false);
        thread.reset(CreateThread(nullptr, 0, workerMain, &worker, 0, nullptr));
        ASSERT_NE(thread.get(), nullptr);
        ASSERT_EQ(WaitForSingleObject(worker.done, 10000), WAIT_OBJECT_0);
    }
    void TearDown() override {
        worker.quit = true;
        SetEvent(worker.go);
        WaitForSingleObject(thread.get(), 10000);
        CloseHandle(worker.go);
        CloseHandle(worker.done);
        CloseHandle(worker.idle);
        record = nullptr;
    }
    DWORD runOneWait(bool alertable) {
        worker.alertable = alertable;
        SetEvent(worker.go);
        EXPECT_EQ(WaitForSingleObject(worker.done, 10000), WAIT_OBJECT_0);
        return worker.lastResult;
    }

    Record calls;
    Worker worker;
    OwnedHandle thread;
};

TEST_F(CompletionRoutines, RunOnlyInTheTargetThreadsAlertableWaitInOrder) {
    ASSERT_NE(QueueUserAPC(recordCall, thread.get(), 1), 0u);
    ASSERT_NE(QueueUserAPC(recordCall, thread.get(), 2), 0u);
    ASSERT_NE(QueueUserAPC(recordCall, thread.get(), 3), 0u);

    // The queuing thread's own alertable wait runs none of them.
    EXPECT_EQ(SleepEx(20, TRUE), 0u);
    EXPECT_TRUE(calls.order.empty());

    // A non-alertable wait of the target thread runs none of them either.
    EXPECT_EQ(runOneWait(false), WAIT_TIMEOUT);
    EXPECT_TRUE(calls.order.empty());

    // Queued before the wait began: the alertable wait returns at once, after all ran.
    EXPECT_EQ(runOneWait(true), WAIT_IO_COMPLETION);
    EXPECT_EQ(calls.order, (std::vector<ULONG_PTR>{1, 2, 3}));
    for (DWORD id : calls.threads) EXPECT_EQ(id, worker.threadId.load());

    // Nothing is left queued: the next alertable wait times out.
    EXPECT_EQ(runOneWait(true), WAIT_TIMEOUT);
    EXPECT_EQ(calls.order.size(), 3u);
}

TEST(SleepEx, ReturnsZeroWhenNoRoutineRuns) {
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_EQ(SleepEx(10, FALSE), 0u);
}

}  // namespace
