// Writes whose completion is late: a record with a device whose writes take as
// long as the test wants, planted into the open library.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "device_access_fixture.h"
#include "standin/device_file.h"

namespace {

using device_access_test::DeviceAccessTest;
using test_support::eventually;
using test_support::SimulatedBoards;

constexpr const char* kDevicePath = "/write-completion-test-device";

// A device whose writes block while it is stalled, until it is released or the
// write is cancelled.
struct StallableDevice {
    std::atomic<bool> stalled{false};
    std::atomic<int> blockedWrites{0};
    std::atomic<int> completedWrites{0};
    int release = eventfd(0, EFD_CLOEXEC);
    ~StallableDevice() { close(release); }
};
StallableDevice* device = nullptr;

class StallableFile : public standin::DeviceFile {
public:
    standin::IoOutcome readReport(void*, DWORD, const standin::IoCancellation& cancel) override {
        pollfd waits{cancel.descriptor(), POLLIN, 0};
        poll(&waits, 1, -1);
        return {ERROR_OPERATION_ABORTED, 0};
    }
    std::optional<standin::IoOutcome> tryWriteReport(const void*, DWORD length) override {
        if (device->stalled) return std::nullopt;
        ++device->completedWrites;
        return standin::IoOutcome{ERROR_SUCCESS, length};
    }
    standin::IoOutcome writeReport(const void*, DWORD length, const standin::IoCancellation& cancel) override {
        ++device->blockedWrites;
        pollfd waits[] = {{cancel.descriptor(), POLLIN, 0}, {device->release, POLLIN, 0}};
        poll(waits, 2, -1);
        if (cancel.requested()) return {ERROR_OPERATION_ABORTED, 0};
        ++device->completedWrites;
        return {ERROR_SUCCESS, length};
    }
};

void registerStallableDevice() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        standin::registerDeviceOpener(
            [](const standin::DeviceOpenRequest& request, DWORD& error) -> std::unique_ptr<standin::DeviceFile> {
                if (request.path != kDevicePath) {
                    error = ERROR_FILE_NOT_FOUND;
                    return nullptr;
                }
                return std::make_unique<StallableFile>();
            });
    });
}

class LateWriteCompletion : public DeviceAccessTest {
protected:
    void SetUp() override {
        DeviceAccessTest::SetUp();
        registerStallableDevice();
        device = &stallable;
        boards = std::make_unique<SimulatedBoards>(std::vector<board_simulator::BoardDescription>{});
        ASSERT_EQ(InitializeLibrary(ClaimArrivedDevice, 0, LIBRARY_MODE_SYNCHRONOUS), static_cast<DWORD>(ERROR_SUCCESS));
        record = static_cast<DeviceRecord*>(HeapAlloc(g_library.heap, HEAP_ZERO_MEMORY, sizeof(DeviceRecord)));
        ASSERT_NE(record, nullptr);
        record->magic = DEVICE_MAGIC_LIVE;
        record->claimed = 1;
        record->modeStamp = LIBRARY_MODE_SYNCHRONOUS;
        record->writeTimeout = INFINITE;
        record->readTimeout = INFINITE;
        record->pipes[1].caps.OutputReportByteLength = 8;
        record->pipes[1].caps.InputReportByteLength = 8;
        record->pipes[1].writeFile = CreateFileA(kDevicePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(record->pipes[1].writeFile, INVALID_HANDLE_VALUE);
        LockDeviceTable();
        record->next = g_library.deviceTable;
        g_library.deviceTable = record;
        UnlockDeviceTable();
    }
    void TearDown() override {
        ShutdownLibrary();
        boards.reset();
        device = nullptr;
        DeviceAccessTest::TearDown();
    }

    StallableDevice stallable;
    std::unique_ptr<SimulatedBoards> boards;
    DeviceRecord* record = nullptr;
};

const BYTE kReport[8] = {0x01, 1, 0, 0, 0, 0, 0, 0};

// Writes kReport on another thread; its result once joined.
struct BackgroundWrite {
    explicit BackgroundWrite(DeviceHandle handle)
        : thread([this, handle] {
              written = WriteReport(handle, 1, kReport, 8);
              error = GetLastError();
          }) {}
    // A test that ended early lets its write complete, so the thread can end.
    ~BackgroundWrite() {
        if (!thread.joinable()) return;
        const std::uint64_t one = 1;
        EXPECT_EQ(write(device->release, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        thread.join();
    }

    std::atomic<DWORD> written{0xFFFF};
    std::atomic<DWORD> error{0};
    std::thread thread;
};

TEST_F(LateWriteCompletion, ATimedOutWriteIsCancelledAndItsCompletionNeverCountsForTheNext) {
    LockDeviceTable();
    record->writeTimeout = 50;
    UnlockDeviceTable();
    stallable.stalled = true;
    EXPECT_EQ(WriteReport(record, 1, kReport, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    // The cancelled write's completion already ran: it can't end a later write.
    EXPECT_EQ(g_library.writeBlock.writeCompletionRan, 1);
    EXPECT_EQ(stallable.completedWrites.load(), 0);

    // The next write waits for its own completion, which comes only when released.
    LockDeviceTable();
    record->writeTimeout = INFINITE;
    UnlockDeviceTable();
    BackgroundWrite writer(record);
    ASSERT_TRUE(eventually([&] { return stallable.blockedWrites.load() == 2; }));
    Sleep(50);
    EXPECT_EQ(writer.written.load(), 0xFFFFu);
    const std::uint64_t one = 1;
    ASSERT_EQ(write(stallable.release, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    writer.thread.join();
    EXPECT_EQ(writer.written.load(), 8u);
    EXPECT_EQ(stallable.completedWrites.load(), 1);
}

TEST_F(LateWriteCompletion, AWriteWhoseRecordIsRemovedDuringItsSleepTimesOut) {
    stallable.stalled = true;
    BackgroundWrite writer(record);
    ASSERT_TRUE(eventually([&] { return stallable.blockedWrites.load() == 1; }));
    // The record goes while the write sleeps: torn down, which closes its files.
    LockDeviceTable();
    RemoveDeviceRecord(&g_library.deviceTable, record);
    UnlockDeviceTable();
    writer.thread.join();
    EXPECT_EQ(writer.written.load(), 0u);
    EXPECT_EQ(writer.error.load(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(g_library.writeBlock.writeCompletionRan, 1);
}

// Closing the library closes the write's file, which ends the write's sleep; the
// write then still takes the table mutex. The shutdown must not close that mutex
// until the write has left (the thread sanitizer sees it if it does).
TEST_F(LateWriteCompletion, ShutdownDuringAWriteLetsTheWriteLeaveFirst) {
    stallable.stalled = true;
    BackgroundWrite writer(record);
    ASSERT_TRUE(eventually([&] { return stallable.blockedWrites.load() == 1; }));
    ShutdownLibrary();
    EXPECT_EQ(g_library.operationsInFlight, 0);
    writer.thread.join();
    EXPECT_EQ(writer.written.load(), 0u);
    EXPECT_EQ(writer.error.load(), static_cast<DWORD>(ERROR_TIMEOUT));
}

}  // namespace
