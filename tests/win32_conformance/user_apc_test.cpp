// Asynchronous procedure calls queued with QueueUserAPC, around the start and the
// end of the target thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win32_services.h"

namespace {

struct ThreadLog {
    std::vector<std::string> entries;
};

ThreadLog* logOf(ULONG_PTR context) { return reinterpret_cast<ThreadLog*>(context); }

VOID WINAPI logFirstRoutine(ULONG_PTR context) { logOf(context)->entries.push_back("first routine"); }
VOID WINAPI logSecondRoutine(ULONG_PTR context) { logOf(context)->entries.push_back("second routine"); }

DWORD WINAPI logStart(LPVOID context) {
    static_cast<ThreadLog*>(context)->entries.push_back("start routine");
    return 0;
}

TEST(UserApc, RoutinesQueuedBeforeAThreadStartsRunBeforeItsStartRoutine) {
    ThreadLog log;
    HANDLE thread = CreateThread(nullptr, 0, logStart, &log, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    const ULONG_PTR context = reinterpret_cast<ULONG_PTR>(&log);
    EXPECT_NE(QueueUserAPC(logFirstRoutine, thread, context), 0u);
    EXPECT_NE(QueueUserAPC(logSecondRoutine, thread, context), 0u);
    EXPECT_EQ(ResumeThread(thread), 1u);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(log.entries,
              (std::vector<std::string>{"first routine", "second routine", "start routine"}));
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(UserApc, QueueingForAThreadThatHasEndedFails) {
    ThreadLog log;
    HANDLE thread = CreateThread(nullptr, 0, logStart, &log, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(QueueUserAPC(logFirstRoutine, thread, reinterpret_cast<ULONG_PTR>(&log)), 0u);
    EXPECT_EQ(log.entries, std::vector<std::string>{"start routine"});
    EXPECT_TRUE(CloseHandle(thread));
}

}  // namespace
