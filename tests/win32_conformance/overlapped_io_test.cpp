// Overlapped reads and writes with completion routines, GetOverlappedResult and
// cancellation, on a report-oriented test device.
#include <atomic>
#include <cstring>
#include <thread>
#include <type_traits>
#include <vector>

#include "conformance_support.h"
#include "test_device.h"

namespace {

using conformance::newEvent;
using conformance::OwnedHandle;
using conformance::TestDevice;

constexpr DWORD kReportLength = 8;
constexpr DWORD kBound = 5000;

// One overlapped request with what its completion routine saw. The routine finds
// the record at the address of its first member, the OVERLAPPED; hEvent stays
// null, since a GetOverlappedResult that waits waits for hEvent when it is set.
struct Request {
    OVERLAPPED overlapped{};
    char buffer[kReportLength + 1]{};
    std::atomic<int> completions{0};
    DWORD error = 0xFFFFFFFF;
    DWORD bytes = 0xFFFFFFFF;
    DWORD threadId = 0;
};
static_assert(std::is_standard_layout<Request>::value, "a Request must start at its OVERLAPPED");

VOID WINAPI recordCompletion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    auto* request = reinterpret_cast<Request*>(overlapped);
    request->error = error;
    request->bytes = bytes;
    request->threadId = GetCurrentThreadId();
    ++request->completions;
}

class OverlappedIo : public ::testing::Test {
protected:
    void SetUp() override {
        device = TestDevice::create();
        file.reset(open(GENERIC_READ | GENERIC_WRITE));
        ASSERT_NE(file.get(), INVALID_HANDLE_VALUE) << GetLastError();
    }

    HANDLE open(DWORD access) {
        return CreateFileA(device->path().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    void startRead(Request& request) {
        ASSERT_TRUE(ReadFileEx(file.get(), request.buffer, kReportLength, &request.overlapped,
                               recordCompletion))
            << GetLastError();
    }

    // Waits alertably until the request's routine ran, within the bound.
    void awaitCompletion(Request& request) {
        for (int slice = 0; slice < 50 && request.completions == 0; ++slice) SleepEx(kBound / 50, TRUE);
        ASSERT_EQ(request.completions.load(), 1);
    }

    std::unique_ptr<TestDevice> device;
    OwnedHandle file;
};

TEST_F(OverlappedIo, ReadCompletesThroughItsRoutineInAnAlertableWait) {
    Request read;
    startRead(read);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_EQ(read.completions.load(), 0);

    device->sendReport("ABCDEFGH");
    // A non-alertable wait does not run the routine.
    Sleep(50);
    EXPECT_EQ(read.completions.load(), 0);
    awaitCompletion(read);
    EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(read.bytes, kReportLength);
    EXPECT_EQ(read.threadId, GetCurrentThreadId());
    EXPECT_STREQ(read.buffer, "ABCDEFGH");

    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(file.get(), &read.overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, kReportLength);
}

TEST_F(OverlappedIo, GetOverlappedResultReportsAPendingReadAndWaitsForIt) {
    Request read;
    startRead(read);
    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(file.get(), &read.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    std::thread sender([&] {
        Sleep(30);
        device->sendReport("12345678");
    });
    EXPECT_TRUE(GetOverlappedResult(file.get(), &read.overlapped, &bytes, TRUE));
    sender.join();
    EXPECT_EQ(bytes, kReportLength);
    // The routine still runs, in the next alertable wait.
    EXPECT_EQ(read.completions.load(), 0);
    EXPECT_EQ(SleepEx(kBound, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(read.completions.load(), 1);
}

TEST_F(OverlappedIo, GetOverlappedResultWaitsForTheBlocksEventWhenItHasOne) {
    // ReadFileEx leaves hEvent to the caller and never sets it; a waiting
    // GetOverlappedResult then waits for that event, not for the read.
    OwnedHandle event(newEvent(true, false));
    OwnedHandle checked(newEvent(true, false));
    Request read;
    read.overlapped.hEvent = event.get();
    startRead(read);
    std::thread setter([&] {
        Sleep(30);
        SetEvent(event.get());
        // Should the wait be for the read instead, this report ends it, late.
        WaitForSingleObject(checked.get(), kBound);
        device->sendReport("late....");
    });
    DWORD bytes = 0;
    GetOverlappedResult(file.get(), &read.overlapped, &bytes, TRUE);
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(file.get(), &read.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    SetEvent(checked.get());
    setter.join();
    awaitCompletion(read);
    EXPECT_STREQ(read.buffer, "late....");
}

TEST_F(OverlappedIo, ReportsArriveInOrderOnePerRead) {
    device->sendReport("first..1");
    device->sendReport("second.2");
    for (const char* expected : {"first..1", "second.2"}) {
        Request read;
        startRead(read);
        awaitCompletion(read);
        EXPECT_STREQ(read.buffer, expected);
    }
}

TEST_F(OverlappedIo, WriteCompletesWithItsByteCount) {
    Request write;
    std::memcpy(write.buffer, "WXYZ0123", kReportLength);
    ASSERT_TRUE(WriteFileEx(file.get(), write.buffer, kReportLength, &write.overlapped, recordCompletion));
    EXPECT_EQ(SleepEx(kBound, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(write.completions.load(), 1);
    EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(write.bytes, kReportLength);
    EXPECT_EQ(device->receiveReport(kBound), std::optional<std::string>("WXYZ0123"));
}

TEST_F(OverlappedIo, CancelIoAbortsThePendingReadThroughItsRoutine) {
    Request read;
    startRead(read);
    ASSERT_TRUE(CancelIo(file.get()));
    awaitCompletion(read);
    EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(file.get(), &read.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // The file still works.
    Request next;
    startRead(next);
    device->sendReport("again..!");
    awaitCompletion(next);
    EXPECT_STREQ(next.buffer, "again..!");
}

TEST_F(OverlappedIo, CancelIoOfAnotherThreadLeavesThisThreadsReadPending) {
    Request read;
    startRead(read);
    BOOL cancelled = FALSE;
    std::thread other([&] { cancelled = CancelIo(file.get()); });
    other.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(SleepEx(50, TRUE), 0u);
    EXPECT_EQ(read.completions.load(), 0);

    device->sendReport("still ok");
    awaitCompletion(read);
    EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
}

struct ForeignReader {
    HANDLE file = nullptr;
    HANDLE issued = nullptr;     // set once the read is started
    HANDLE mayRunRoutine = nullptr;
    Request read;
};

DWORD WINAPI readThenWaitAlertably(LPVOID parameter) {
    auto* reader = static_cast<ForeignReader*>(parameter);
    if (!ReadFileEx(reader->file, reader->read.buffer, kReportLength, &reader->read.overlapped,
                    recordCompletion)) {
        return 1;
    }
    SetEvent(reader->issued);
    WaitForSingleObject(reader->mayRunRoutine, kBound);
    for (int slice = 0; slice < 50 && reader->read.completions == 0; ++slice) SleepEx(kBound / 50, TRUE);
    return 0;
}

TEST_F(OverlappedIo, RoutineRunsOnlyOnTheIssuingThread) {
    ForeignReader reader;
    reader.file = file.get();
    OwnedHandle issued(newEvent(true, false));
    OwnedHandle mayRun(newEvent(true, false));
    reader.issued = issued.get();
    reader.mayRunRoutine = mayRun.get();
    OwnedHandle thread(CreateThread(nullptr, 0, readThenWaitAlertably, &reader, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(issued.get(), kBound), WAIT_OBJECT_0);

    device->sendReport("theirs..");
    // This thread's alertable waits never run the other thread's routine.
    EXPECT_EQ(SleepEx(100, TRUE), 0u);
    EXPECT_EQ(reader.read.completions.load(), 0);

    ASSERT_TRUE(SetEvent(mayRun.get()));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kBound * 2), WAIT_OBJECT_0);
    EXPECT_EQ(reader.read.completions.load(), 1);
    EXPECT_NE(reader.read.threadId, GetCurrentThreadId());
    EXPECT_STREQ(reader.read.buffer, "theirs..");
}

// The error is the device's choice: a HID device reports the read as aborted, a
// named pipe as broken.
TEST_F(OverlappedIo, ClosingTheFileEndsItsPendingReadWithAnError) {
    Request read;
    startRead(read);
    file.reset();
    awaitCompletion(read);
    EXPECT_NE(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(read.bytes, 0u);
}

TEST_F(OverlappedIo, DisconnectedDeviceFailsPendingAndLaterIo) {
    Request read;
    startRead(read);
    device->disconnect();
    awaitCompletion(read);
    EXPECT_NE(read.error, static_cast<DWORD>(ERROR_SUCCESS));

    // A later write is refused at once or completes with an error.
    Request write;
    std::memcpy(write.buffer, "too late", kReportLength);
    if (WriteFileEx(file.get(), write.buffer, kReportLength, &write.overlapped, recordCompletion)) {
        awaitCompletion(write);
        EXPECT_NE(write.error, static_cast<DWORD>(ERROR_SUCCESS));
    }
}

TEST_F(OverlappedIo, ReadsNeedReadAccess) {
    OwnedHandle writeOnly;
    file.reset();
    writeOnly.reset(open(GENERIC_WRITE));
    ASSERT_NE(writeOnly.get(), INVALID_HANDLE_VALUE) << GetLastError();
    Request read;
    SetLastError(0);
    EXPECT_FALSE(ReadFileEx(writeOnly.get(), read.buffer, kReportLength, &read.overlapped, recordCompletion));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(DeviceFiles, AbsentDeviceIsNotFound) {
    std::string path;
    {
        std::unique_ptr<TestDevice> device = TestDevice::create();
        path = device->path();
    }
    SetLastError(0);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
