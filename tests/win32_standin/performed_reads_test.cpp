// Reads of a device that tells when it can be read: performed by the thread that
// waits for them, or by whoever asks for their result.
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "standin/device_file.h"
#include "win32_services.h"

namespace {

// A device whose reports the test supplies; its descriptor is readable while one waits.
struct ReadableDevice {
    std::mutex lock;
    std::deque<std::string> reports;
    int readable = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    std::atomic<DWORD> readerThread{0};
    ~ReadableDevice() { close(readable); }

    void supply(const std::string& report) {
        std::lock_guard<std::mutex> guard(lock);
        reports.push_back(report);
        const std::uint64_t one = 1;
        (void)!write(readable, &one, sizeof one);
    }
};
ReadableDevice* current = nullptr;

class ReadableFile : public standin::DeviceFile {
public:
    standin::IoOutcome readReport(void*, DWORD, const standin::IoCancellation&) override {
        ADD_FAILURE() << "a read of this device went to a worker thread";
        return {ERROR_GEN_FAILURE, 0};
    }
    standin::IoOutcome writeReport(const void*, DWORD length, const standin::IoCancellation&) override {
        return {ERROR_SUCCESS, length};
    }
    std::optional<standin::IoOutcome> tryReadReport(void* buffer, DWORD length) override {
        std::lock_guard<std::mutex> guard(current->lock);
        if (current->reports.empty()) return std::nullopt;
        std::uint64_t taken = 0;
        (void)!read(current->readable, &taken, sizeof taken);
        const std::string report = current->reports.front();
        current->reports.pop_front();
        report.copy(static_cast<char*>(buffer), length);
        current->readerThread = GetCurrentThreadId();
        return standin::IoOutcome{ERROR_SUCCESS, static_cast<DWORD>(report.size())};
    }
    int readinessDescriptor() const override { return current->readable; }
};

constexpr const char* kPath = "/performed-reads-test-device";

struct Read {
    OVERLAPPED overlapped{};  // first: the routine finds the record from it
    char buffer[8] = {};
    std::atomic<int> completions{0};
    DWORD error = 0xFFFF;
};

VOID WINAPI recordCompletion(DWORD error, DWORD, LPOVERLAPPED overlapped) {
    auto* read = reinterpret_cast<Read*>(overlapped);
    read->error = error;
    ++read->completions;
}

class PerformedReads : public ::testing::Test {
protected:
    void SetUp() override {
        static std::once_flag registered;
        std::call_once(registered, [] {
            standin::registerDeviceOpener(
                [](const standin::DeviceOpenRequest& request, DWORD& error) -> std::unique_ptr<standin::DeviceFile> {
                    if (request.path != kPath) {
                        error = ERROR_FILE_NOT_FOUND;
                        return nullptr;
                    }
                    return std::make_unique<ReadableFile>();
                });
        });
        current = &device;
        file = CreateFileA(kPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        current = nullptr;
    }
    void start(Read& read) {
        ASSERT_TRUE(ReadFileEx(file, read.buffer, sizeof read.buffer, &read.overlapped, recordCompletion));
    }

    ReadableDevice device;
    HANDLE file = INVALID_HANDLE_VALUE;
};

TEST_F(PerformedReads, TheIssuingThreadPerformsTheReadInItsAlertableWait) {
    Read read;
    start(read);
    std::thread supplier([this] {
        Sleep(30);
        device.supply("report1");
    });
    DWORD result = 0;
    for (int slice = 0; slice < 50 && read.completions == 0; ++slice) result = SleepEx(200, TRUE);
    supplier.join();
    EXPECT_EQ(result, WAIT_IO_COMPLETION);
    EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_STREQ(read.buffer, "report1");
    EXPECT_EQ(device.readerThread.load(), GetCurrentThreadId());
}

TEST_F(PerformedReads, GetOverlappedResultPerformsTheReadItWaitsFor) {
    Read read;
    start(read);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &read.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    std::thread supplier([this] {
        Sleep(30);
        device.supply("report2");
    });
    EXPECT_TRUE(GetOverlappedResult(file, &read.overlapped, &bytes, TRUE));
    supplier.join();
    EXPECT_EQ(bytes, 7u);
    EXPECT_STREQ(read.buffer, "report2");
    // The routine is still owed to the issuing thread's next alertable wait.
    EXPECT_EQ(read.completions.load(), 0);
    EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(read.completions.load(), 1);
}

TEST_F(PerformedReads, CancelIoAndCloseHandleEndAWaitingRead) {
    Read cancelled;
    start(cancelled);
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(SleepEx(1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(cancelled.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    Read closed;
    start(closed);
    ASSERT_TRUE(CloseHandle(file));
    file = INVALID_HANDLE_VALUE;
    EXPECT_EQ(SleepEx(1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(closed.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

struct LeftRead {
    HANDLE file;
    Read read;
};

DWORD WINAPI startReadAndEnd(LPVOID parameter) {
    auto* left = static_cast<LeftRead*>(parameter);
    return ReadFileEx(left->file, left->read.buffer, sizeof left->read.buffer, &left->read.overlapped,
                      recordCompletion)
               ? 0
               : 1;
}

TEST_F(PerformedReads, AReadLeftByAThreadThatEndedIsEnded) {
    LeftRead left{file, {}};
    HANDLE thread = CreateThread(nullptr, 0, startReadAndEnd, &left, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeThread(thread, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(thread);
    // Nothing would ever perform it now: it ended with the thread.
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &left.read.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(left.read.completions.load(), 0);
}

}  // namespace
