// Timed report reads and writes over simulated boards.
#include <atomic>
#include <thread>
#include <vector>

#include "device_access_fixture.h"
#include "stored_reports.h"

namespace {

using board_simulator::kPipe1;
using board_simulator::Report;
using device_access_test::DeviceAccessTest;
using test_support::boardWithSerial;
using test_support::eventually;
using test_support::SimulatedBoards;

constexpr std::chrono::seconds kBound(10);

Report specialReport(BYTE id, BYTE value) { return Report{id, value, 0, 0, 0, 0, 0, 0}; }

class ReportIo : public DeviceAccessTest {
protected:
    void SetUp() override {
        DeviceAccessTest::SetUp();
        boards = std::make_unique<SimulatedBoards>(std::vector<board_simulator::BoardDescription>{boardWithSerial("io")});
        handle = OpenAllDevices();
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        CloseAllDevices(nullptr);
        boards.reset();
        DeviceAccessTest::TearDown();
    }

    board_simulator::Simulator& simulator() { return boards->simulator(); }
    PipeState& pipe1() { return LookupDeviceHandle(handle)->pipes[1]; }
    bool storedReports(DWORD count) {
        return eventually([&] { return test_support::storedReports(handle, 1) == count; });
    }

    std::unique_ptr<SimulatedBoards> boards;
    DeviceHandle handle = nullptr;
};

TEST_F(ReportIo, WriteSendsWholeReportsOnly) {
    const BYTE data[10] = {0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(WriteReport(handle, 1, data, sizeof data), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(simulator().waitForReceived(0, kPipe1, 1, kBound));
    EXPECT_EQ(simulator().received(0, kPipe1), std::vector<Report>{Report(data, data + 8)});

    SetLastError(12345);
    EXPECT_EQ(WriteReport(handle, 1, data, 7), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WriteReport(handle, 1, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadReport(handle, 1, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    BYTE small[7];
    EXPECT_EQ(ReadReport(handle, 1, small, sizeof small), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    Sleep(50);
    EXPECT_EQ(simulator().received(0, kPipe1).size(), 1u);
}

TEST_F(ReportIo, StoredReportsComeOutOldestFirstWithoutWaiting) {
    for (BYTE n = 1; n <= 3; ++n) simulator().sendReport(0, kPipe1, specialReport(0x18, n));
    ASSERT_TRUE(storedReports(3));
    BYTE buffer[24] = {};
    EXPECT_EQ(ReadReport(handle, 1, buffer, sizeof buffer), 24u);
    for (BYTE n = 1; n <= 3; ++n) {
        EXPECT_EQ(buffer[(n - 1) * 8], 0x18);
        EXPECT_EQ(buffer[(n - 1) * 8 + 1], n);
    }
}

TEST_F(ReportIo, ReadOfThreeReportsDeliversTheTwoThatCameBeforeAFailure) {
    simulator().sendReport(0, kPipe1, specialReport(0x18, 1));
    simulator().sendReport(0, kPipe1, specialReport(0x18, 2));
    ASSERT_TRUE(storedReports(2));
    simulator().unplug(0);
    BYTE buffer[24];
    memset(buffer, 0xAB, sizeof buffer);
    EXPECT_EQ(ReadReport(handle, 1, buffer, sizeof buffer), 16u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(buffer[1], 1);
    EXPECT_EQ(buffer[9], 2);
    for (int i = 16; i < 24; ++i) EXPECT_EQ(buffer[i], 0xAB);
}

TEST_F(ReportIo, AFailedDeviceEndsEveryWaitingReadWithinAboutOneSlice) {
    simulator().unplug(0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        BYTE buffer[8];
        EXPECT_EQ(ReadReport(handle, 1, buffer, sizeof buffer), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    }
    // Writes to the vanished board fail too.
    const Report off = specialReport(0x01, 0);
    EXPECT_EQ(WriteReport(handle, 1, off.data(), 8), 0u);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(ReportIo, AFailedSilentDeviceSignalsReadErrorAgainEverySlice) {
    simulator().unplug(0);
    for (int slice = 0; slice < 3; ++slice) {
        LockDeviceTable();
        HANDLE readError = pipe1().readError;
        ResetEvent(readError);
        UnlockDeviceTable();
        EXPECT_EQ(WaitForSingleObject(readError, 5000), WAIT_OBJECT_0) << slice;
    }
}

TEST_F(ReportIo, ReadWithAFiniteTimeOutReturnsEmptyAndLeavesALateReportForTheNext) {
    ASSERT_TRUE(SetReadTimeout(handle, 50));
    BYTE buffer[8];
    EXPECT_EQ(ReadReport(handle, 1, buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    simulator().sendReport(0, kPipe1, specialReport(0x18, 9));
    ASSERT_TRUE(storedReports(1));
    EXPECT_EQ(ReadReport(handle, 1, buffer, sizeof buffer), 8u);
    EXPECT_EQ(buffer[1], 9);
}

TEST_F(ReportIo, ReadStoredReportNeverWaits) {
    BYTE buffer[8];
    SetLastError(12345);
    EXPECT_EQ(ReadStoredReport(handle, 1, buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    simulator().sendReport(0, kPipe1, specialReport(0x03, 4));
    ASSERT_TRUE(storedReports(1));
    EXPECT_EQ(ReadStoredReport(handle, 1, buffer, sizeof buffer), 8u);
    EXPECT_EQ(buffer[1], 4);
    EXPECT_EQ(ReadStoredReport(handle, 2, buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ReportIo, RefusedRecordsPipesAndBuffers) {
    BYTE buffer[8] = {0x01};
    struct Call {
        const char* name;
        DWORD (*operation)(DeviceHandle, DWORD, BYTE*, DWORD);
    };
    const Call calls[] = {
        {"write", [](DeviceHandle h, DWORD p, BYTE* b, DWORD l) { return WriteReport(h, p, b, l); }},
        {"read", [](DeviceHandle h, DWORD p, BYTE* b, DWORD l) { return ReadReport(h, p, b, l); }},
    };
    for (const Call& call : calls) {
        SetLastError(0);
        EXPECT_EQ(call.operation(handle, 2, buffer, 8), 0u) << call.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << call.name;
        EXPECT_EQ(call.operation(handle, 1, nullptr, 8), 0u) << call.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << call.name;
        DeviceRecord foreign{};
        EXPECT_EQ(call.operation(&foreign, 1, buffer, 8), 0u) << call.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << call.name;
    }
    ASSERT_TRUE(SetDeviceClaimed(handle, 0, LIBRARY_MODE_SYNCHRONOUS));
    for (const Call& call : calls) {
        SetLastError(0);
        EXPECT_EQ(call.operation(handle, 1, buffer, 8), 0u) << call.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << call.name;
    }
}

// Runs a read on another thread; its result once it ended.
struct BackgroundRead {
    explicit BackgroundRead(DeviceHandle handle)
        : thread([this, handle] {
              count = ReadReport(handle, 1, buffer, sizeof buffer);
              error = GetLastError();
              done = true;
          }) {}
    ~BackgroundRead() {
        if (thread.joinable()) thread.join();
    }
    bool finished() { return eventually([this] { return done.load(); }); }
    // Every read waits on the library's shutdown event, whether for the pipe's
    // read mutex or for a report.
    static bool readsWaiting(std::size_t count) {
        return eventually([count] { return standin::testing::threadsWaitingOn(g_library.shutdownEvent) == count; });
    }

    BYTE buffer[8] = {};
    std::atomic<DWORD> count{0xFFFF};
    std::atomic<DWORD> error{0};
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST_F(ReportIo, ShutdownDuringAWaitEndsTheReadWithoutTouchingTheFreedRecord) {
    BackgroundRead read(handle);
    ASSERT_TRUE(BackgroundRead::readsWaiting(1));
    EXPECT_FALSE(read.done.load());
    CloseAllDevices(nullptr);
    ASSERT_TRUE(read.finished());
    EXPECT_EQ(read.count.load(), 0u);
    EXPECT_EQ(read.error.load(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST_F(ReportIo, StopPipeDuringAWaitEndsTheRead) {
    BackgroundRead read(handle);
    ASSERT_TRUE(BackgroundRead::readsWaiting(1));
    LockDeviceTable();
    StopPipe(LookupDeviceHandle(handle), 1);
    UnlockDeviceTable();
    ASSERT_TRUE(read.finished());
    EXPECT_EQ(read.count.load(), 0u);
    EXPECT_EQ(read.error.load(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST_F(ReportIo, TwoReadersOfOnePipeEachGetOneReport) {
    BackgroundRead first(handle);
    BackgroundRead second(handle);
    ASSERT_TRUE(BackgroundRead::readsWaiting(2));
    simulator().sendReport(0, kPipe1, specialReport(0x18, 1));
    simulator().sendReport(0, kPipe1, specialReport(0x18, 2));
    ASSERT_TRUE(first.finished());
    ASSERT_TRUE(second.finished());
    EXPECT_EQ(first.count.load(), 8u);
    EXPECT_EQ(second.count.load(), 8u);
    EXPECT_EQ(first.buffer[1] + second.buffer[1], 3);
}

// The reader thread stores each report while the read waits for it: every report
// must end a wait, none may be lost between the read's look into the ring and its
// reset of the events.
TEST_F(ReportIo, NoReportIsLostWhileReadsWait) {
    constexpr int kReports = 1000;
    std::atomic<int> taken{0};
    std::thread sender([&] {
        for (int n = 0; n < kReports; ++n) {
            simulator().sendReport(0, kPipe1, specialReport(0x18, static_cast<BYTE>(n)));
            // At most a few reports ahead of the reader, far below the ring's capacity.
            while (n - taken.load() > 4) std::this_thread::yield();
        }
    });
    int inOrder = 0;
    for (int n = 0; n < kReports; ++n) {
        BYTE buffer[8] = {};
        if (ReadReport(handle, 1, buffer, sizeof buffer) != 8u) break;
        if (buffer[1] == static_cast<BYTE>(n)) ++inOrder;
        ++taken;
    }
    sender.join();
    EXPECT_EQ(taken.load(), kReports);
    EXPECT_EQ(inOrder, kReports);
}

TEST(WriteCompletion, AWriteThatMovedNoBytesIsAFault) {
    WriteBlock& block = g_library.writeBlock;
    memset(&block, 0, sizeof block);
    block.writeOverlapped.hEvent = &block;
    WriteCompletion(ERROR_SUCCESS, 0, &block.writeOverlapped);
    EXPECT_EQ(block.writeCompletionRan, 1);
    EXPECT_EQ(block.writeDone, 0);
    EXPECT_EQ(block.writeError, static_cast<DWORD>(ERROR_WRITE_FAULT));

    memset(&block, 0, sizeof block);
    block.writeOverlapped.hEvent = &block;
    WriteCompletion(ERROR_DEVICE_NOT_CONNECTED, 0, &block.writeOverlapped);
    EXPECT_EQ(block.writeDone, 0);
    EXPECT_EQ(block.writeError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    memset(&block, 0, sizeof block);
    block.writeOverlapped.hEvent = &block;
    WriteCompletion(ERROR_SUCCESS, 8, &block.writeOverlapped);
    EXPECT_EQ(block.writeDone, 1);
}

}  // namespace
