// Report traffic through the stand-in's device files over simulated boards: the
// Windows report buffers, per-handle copies and queues, the special mode, and
// boards that go away.
#include <gtest/gtest.h>

#include "hid_walk.h"
#include "simulated_boards.h"

namespace {

using board_simulator::BoardDescription;
using board_simulator::kPipe0;
using board_simulator::kPipe1;
using board_simulator::Report;
using hid_test::boardWithSerial;
using hid_test::IoResult;
using hid_test::openPipe;
using hid_test::readReport;
using hid_test::SimulatedBoards;
using hid_test::writeReport;
using Bytes = std::vector<unsigned char>;

constexpr auto kNothingArrives = std::chrono::milliseconds(200);

// Both pipes of board 0 opened as the scan opens them, with the library's 128
// input buffers on the read handles.
class OpenBoard : public ::testing::Test {
protected:
    explicit OpenBoard(std::vector<BoardDescription> boards = {boardWithSerial("00001F3C")}) : boards_(std::move(boards)) {}

    void SetUp() override {
        ASSERT_TRUE(hid.bind());
        for (unsigned pipe : {kPipe0, kPipe1}) {
            read[pipe] = openPipe(path(pipe), GENERIC_READ);
            write[pipe] = openPipe(path(pipe), GENERIC_WRITE);
            ASSERT_NE(read[pipe], INVALID_HANDLE_VALUE);
            ASSERT_NE(write[pipe], INVALID_HANDLE_VALUE);
            ASSERT_TRUE(hid.setNumInputBuffers(read[pipe], 128));
        }
    }

    void TearDown() override {
        for (HANDLE handle : {read[0], read[1], write[0], write[1]}) {
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
    }

    std::string path(unsigned pipe, unsigned board = 0) const {
        return boards_.root + "/dev/hidraw" + std::to_string(2 * board + pipe);
    }

    // A special-mode request and the next report of pipe 1.
    IoResult exchange(const Bytes& request) {
        EXPECT_EQ(writeReport(write[1], request).error, static_cast<DWORD>(ERROR_SUCCESS));
        return readReport(read[1], 8);
    }

    SimulatedBoards boards_;
    hid_test::HidFunctions hid;
    HANDLE read[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    HANDLE write[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

TEST_F(OpenBoard, UnnumberedReportsCarryReportIdZeroInWindowsBuffers) {
    boards_.simulator.sendReport(0, kPipe0, {0, 0x11, 0x22, 0x33, 0x44});
    IoResult result = readReport(read[0], 5);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(result.data, (Bytes{0, 0x11, 0x22, 0x33, 0x44}));

    EXPECT_EQ(writeReport(write[0], {0, 1, 2, 3, 4}).error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(boards_.simulator.waitForReceived(0, kPipe0, 1, std::chrono::seconds(10)));
    EXPECT_EQ(boards_.simulator.received(0, kPipe0).front(), (Report{0, 1, 2, 3, 4}));
    EXPECT_TRUE(boards_.simulator.sent(0, kPipe1).empty()) << "pipe 0 carries nothing the chip answers";
}

TEST_F(OpenBoard, ReportsAreRefusedAsWindowsRefusesThem) {
    struct Case {
        unsigned pipe;
        Bytes report;
        DWORD error;
    };
    for (const Case& c : {Case{0, {0, 1, 2, 3}, ERROR_INVALID_USER_BUFFER}, Case{0, {0, 1, 2, 3, 4, 5}, ERROR_INVALID_USER_BUFFER},
                          Case{0, {7, 1, 2, 3, 4}, ERROR_INVALID_PARAMETER}, Case{1, {0, 0, 0, 0, 0, 0, 0, 0}, ERROR_INVALID_PARAMETER},
                          Case{1, {1, 1}, ERROR_INVALID_USER_BUFFER}}) {
        EXPECT_EQ(writeReport(write[c.pipe], c.report).error, c.error);
    }
    EXPECT_EQ(readReport(read[1], 7).error, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_TRUE(boards_.simulator.traffic(0, kPipe0).empty());
    EXPECT_TRUE(boards_.simulator.traffic(0, kPipe1).empty());
    Bytes buffer(8);
    hid_test::Transfer transfer;
    EXPECT_FALSE(hid_test::startWrite(read[1], buffer.data(), 8, transfer)) << "a read handle does not write";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(OpenBoard, ChipAnswersI2cRequestsOnlyInI2cMode) {
    EXPECT_EQ(writeReport(write[1], {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(readReport(read[1], 8, kNothingArrives).completed) << "no answer while I2C mode is off";

    EXPECT_EQ(writeReport(write[1], {0x01, 1, 0, 0, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    IoResult written = exchange({0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0});
    ASSERT_TRUE(written.completed);
    EXPECT_EQ(written.data, (Bytes{0x02, 0x02, 0, 0, 0, 0, 0, 0}));
    IoResult data = exchange({0x03, 2, 0xA1, 0, 0, 0, 0, 0});
    ASSERT_TRUE(data.completed);
    EXPECT_EQ(data.data, (Bytes{0x03, 0x02, 0xFF, 0xFF, 0, 0, 0, 0})) << "a blank EEPROM reads 0xFF";
    IoResult absent = exchange({0x02, 0x82, 0xA2, 0x80, 0, 0, 0, 0});
    ASSERT_TRUE(absent.completed);
    EXPECT_EQ(absent.data[1] & 0x80, 0x80) << "EEPROM device 2 does not acknowledge";

    EXPECT_EQ(writeReport(write[1], {0x01, 0, 0, 0, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(boards_.simulator.waitForReceived(0, kPipe1, 6, std::chrono::seconds(10)));
    EXPECT_EQ(boards_.simulator.received(0, kPipe1).back(), (Report{0x01, 0, 0, 0, 0, 0, 0, 0}))
        << "the off report was sent";
    EXPECT_FALSE(boards_.simulator.i2cMode(0));
}

TEST_F(OpenBoard, EveryReadHandleGetsItsOwnCopyOfLaterReports) {
    HANDLE second = openPipe(path(kPipe1), GENERIC_READ);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    boards_.simulator.sendReport(0, kPipe1, {0x18, 1, 2, 3, 4, 5, 6, 7});
    HANDLE late = openPipe(path(kPipe1), GENERIC_READ);
    ASSERT_NE(late, INVALID_HANDLE_VALUE);
    boards_.simulator.sendReport(0, kPipe1, {0x0C, 9, 9, 9, 9, 9, 9, 9});

    for (HANDLE handle : {read[1], second}) {
        EXPECT_EQ(readReport(handle, 8).data, (Bytes{0x18, 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_EQ(readReport(handle, 8).data, (Bytes{0x0C, 9, 9, 9, 9, 9, 9, 9}));
    }
    EXPECT_EQ(readReport(late, 8).data, (Bytes{0x0C, 9, 9, 9, 9, 9, 9, 9})) << "opened after the first report";
    CloseHandle(second);
    CloseHandle(late);
}

TEST_F(OpenBoard, FullInputQueueDropsItsOldestReports) {
    ULONG count = 0;
    ASSERT_TRUE(hid.getNumInputBuffers(read[1], &count));
    EXPECT_EQ(count, 128u);
    HANDLE fresh = openPipe(path(kPipe1), GENERIC_READ);
    ASSERT_TRUE(hid.getNumInputBuffers(fresh, &count));
    EXPECT_EQ(count, 32u) << "the Windows default";
    for (ULONG refused : {0u, 1u, 513u}) EXPECT_FALSE(hid.setNumInputBuffers(fresh, refused));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(hid.setNumInputBuffers(fresh, 4));

    for (unsigned char n = 1; n <= 10; ++n) boards_.simulator.sendReport(0, kPipe1, {0x18, n, 0, 0, 0, 0, 0, 0});
    for (unsigned char n = 1; n <= 10; ++n) ASSERT_EQ(readReport(read[1], 8).data.at(1), n);
    for (unsigned char n = 7; n <= 10; ++n) EXPECT_EQ(readReport(fresh, 8).data.at(1), n);
    EXPECT_FALSE(readReport(fresh, 8, kNothingArrives).completed);
    CloseHandle(fresh);
}

TEST_F(OpenBoard, CancelledReadEndsAborted) {
    Bytes buffer(8);
    hid_test::Transfer transfer;
    ASSERT_TRUE(hid_test::startRead(read[1], buffer.data(), 8, transfer));
    SleepEx(20, TRUE);
    EXPECT_FALSE(transfer.completed);
    ASSERT_TRUE(CancelIo(read[1]));
    ASSERT_TRUE(hid_test::awaitTransfer(transfer));
    EXPECT_EQ(transfer.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    boards_.simulator.sendReport(0, kPipe1, {0x18, 5, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(readReport(read[1], 8).data.at(1), 5) << "the handle still reads after a cancellation";
}

TEST_F(OpenBoard, VanishingBoardFailsPendingAndLaterIoAndLeavesTheList) {
    Bytes buffer(8);
    hid_test::Transfer pending;
    ASSERT_TRUE(hid_test::startRead(read[1], buffer.data(), 8, pending));
    HANDLE query = CreateFileA(path(kPipe1).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    const std::vector<hid_test::FoundInterface> before = hid_test::walkHidInterfaces(hid);
    ASSERT_EQ(before.size(), 2u);

    boards_.simulator.unplug(0);
    ASSERT_TRUE(hid_test::awaitTransfer(pending));
    EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(readReport(read[1], 8).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(readReport(read[0], 5).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(writeReport(write[1], {0x01, 1, 0, 0, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    HIDD_ATTRIBUTES attributes{};
    EXPECT_FALSE(hid.getAttributes(query, &attributes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    DEVINST parent = 0;
    EXPECT_EQ(hid.getParent(&parent, before[1].devInst, 0), CR_NO_SUCH_DEVNODE);
    EXPECT_TRUE(hid_test::walkHidInterfaces(hid).empty());
    EXPECT_EQ(openPipe(path(kPipe1), GENERIC_READ), INVALID_HANDLE_VALUE);
    CloseHandle(query);
}

class FaultyBoard : public OpenBoard {
protected:
    static BoardDescription withFaults(board_simulator::Faults faults) {
        BoardDescription board = boardWithSerial("00001F3C");
        board.faults = faults;
        board.eeproms[1][0x80] = 0x33;
        board.eeproms[1][0x81] = 0x1A;
        return board;
    }
    explicit FaultyBoard(board_simulator::Faults faults) : OpenBoard({withFaults(faults)}) {}
};

class UnpluggingBoard : public FaultyBoard {
protected:
    UnpluggingBoard() : FaultyBoard([] {
        board_simulator::Faults faults;
        faults.unplugAfterReports = 2;
        return faults;
    }()) {}
};

TEST_F(UnpluggingBoard, DisappearsMidReadAfterItsReports) {
    Bytes buffer(8);
    hid_test::Transfer pending;
    ASSERT_TRUE(hid_test::startRead(read[1], buffer.data(), 8, pending));
    EXPECT_EQ(writeReport(write[1], {0x01, 1, 0, 0, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(writeReport(write[1], {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(hid_test::awaitTransfer(pending));
    EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(boards_.simulator.isPresent(0));
    EXPECT_TRUE(boards_.simulator.sent(0, kPipe1).empty());
}

class NoisyShortBoard : public FaultyBoard {
protected:
    NoisyShortBoard() : FaultyBoard([] {
        board_simulator::Faults faults;
        faults.noise = true;
        faults.shortReports = true;
        faults.latencyMs = 5;
        return faults;
    }()) {}
};

TEST_F(NoisyShortBoard, SendsOtherKindsBeforeEachShortAnswer) {
    EXPECT_EQ(writeReport(write[1], {0x01, 1, 0, 0, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(writeReport(write[1], {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0}).error, static_cast<DWORD>(ERROR_SUCCESS));
    for (unsigned char id : {0x00, 0x0C, 0x18, 0x07}) EXPECT_EQ(readReport(read[1], 8).data, (Bytes{id, 0}));
    EXPECT_EQ(readReport(read[1], 8).data, (Bytes{0x02, 0x02}));
    IoResult data = exchange({0x03, 2, 0xA1, 0, 0, 0, 0, 0});
    EXPECT_EQ(data.data, (Bytes{0x00, 0})) << "noise first";
    for (int noise = 0; noise < 3; ++noise) readReport(read[1], 8);
    EXPECT_EQ(readReport(read[1], 8).data, (Bytes{0x03, 0x02, 0x33, 0x1A}));
}

}  // namespace
